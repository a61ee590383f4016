// Frames the slot table does not own survive a save, and a save that would
// write the tag the file already holds leaves the file alone.
#include <gtest/gtest.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/privateframe.h>
#include <taglib/tfilestream.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

#include "FileServices.h"
#include "ID3v2.h"
#include "ID3v2Carried.h"
#include "ID3v2TestTags.h"
#include "TagLibView.h"

using namespace id3v2_test;
using id3v2::SaveHow;
using testing_support::AudioBytesOf;
using testing_support::CommandOutput;
using testing_support::ReadFileBytes;
using testing_support::ShellQuote;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// A literal's bytes, zero bytes included.
template <std::size_t N>
std::string B(const char (&bytes)[N]) {
  return std::string(bytes, N - 1);
}

// A cover of just over 100 KB, and the other programs' frames beside it.
constexpr const char* kMutagenTagger = R"(
import sys
from mutagen.id3 import ID3, APIC, COMM, PRIV, TIT2, TPE1, TXXX, USLT
path, version, cover, padding = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "cover", sys.argv[4]
enc = 3 if version == 4 else 1
t = ID3()
t.add(TIT2(encoding=enc, text="T\u00edtulo"))
t.add(TPE1(encoding=0, text="Artist"))
if cover:
    t.add(APIC(encoding=enc, mime="image/jpeg", type=3, desc="Capa", data=bytes(range(256)) * 400 + b"end"))
t.add(TXXX(encoding=enc, desc="KEY", text="F\u00e1#m"))
t.add(TXXX(encoding=0, desc="CATALOG", text="ABC-123"))
t.add(PRIV(owner="com.example.cues", data=b"\x00\x01cue\xff\xfe"))
t.add(USLT(encoding=enc, lang="por", desc="", text="Letra da can\u00e7\u00e3o"))
t.add(COMM(encoding=enc, lang="por", desc="", text="Coment\u00e1rio"))
# "default": mutagen's own choice of padding.
t.save(path, v2_version=version, **({} if padding == "default" else {"padding": lambda info: int(padding)}))
)";

// The frames another program owns as mutagen sees them, one line each,
// without their text encoding.
constexpr const char* kMutagenCarried = R"(
import sys, hashlib
from mutagen.id3 import ID3
t = ID3(sys.argv[1])
lines = []
for key in ("APIC", "TXXX", "PRIV", "USLT"):
    for f in t.getall(key):
        parts = [(s.name, getattr(f, s.name)) for s in f._framespec if s.name != "encoding"]
        lines.append(repr([(n, hashlib.sha1(v).hexdigest() if isinstance(v, bytes) and len(v) > 64 else v) for n, v in parts]))
print("\n".join(sorted(lines)))
)";

std::string Python(const char* script, const std::string& arguments) {
  return CommandOutput("/usr/bin/python3 -c " + ShellQuote(script) + " " + arguments);
}

// padding: a number of bytes, or "default" for mutagen's own choice.
void TagWithMutagen(const std::string& path, int version, bool cover, const std::string& padding = "512") {
  Python(kMutagenTagger,
         ShellQuote(path) + " " + std::to_string(version) + (cover ? " cover " : " none ") + padding);
}

void TagWithTagLib(const std::string& path, int version) {
  using namespace TagLib;
  WriteWithTagLib(path, version, [](ID3v2::Tag& tag) {
    tag.setTitle(String("T\xC3\xADtulo", String::UTF8));
    tag.setArtist("Artist");
    AddPicture(tag, ByteVector(120 * 1024, '\x89'), "image/png", String("Capa \xC3\xA1", String::UTF8));
    AddUserText(tag, "KEY", String("F\xC3\xA1#m", String::UTF8), String::UTF8);
    auto priv = new ID3v2::PrivateFrame();
    priv->setOwner("owner");
    priv->setData(ByteVector("\x01\x02\xFF\0\x05", 5));
    tag.addFrame(priv);
    auto lyrics = new ID3v2::UnsynchronizedLyricsFrame(String::UTF8);
    lyrics->setLanguage("por");
    lyrics->setText(String("Letra da can\xC3\xA7\xC3\xA3o", String::UTF8));
    tag.addFrame(lyrics);
    AddComment(tag, "por", "", String("Coment\xC3\xA1rio", String::UTF8), String::UTF8);
  });
}

// The same frames as TagLib sees them, each as its parts (the picture
// whole), sorted.
std::multiset<std::string> TagLibCarried(const std::string& path) {
  using namespace TagLib;
  std::multiset<std::string> frames;
  FileStream stream(path.c_str(), true);
  MPEG::File file(&stream, ID3v2::FrameFactory::instance(), false);
  const ID3v2::Tag* tag = file.ID3v2Tag(false);
  if (!tag) return frames;
  for (const ID3v2::Frame* frame : tag->frameList()) {
    std::string text = std::string(frame->frameID().data(), 4) + "|";
    if (auto* apic = dynamic_cast<const ID3v2::AttachedPictureFrame*>(frame)) {
      const ByteVector data = apic->picture();
      text += apic->mimeType().to8Bit(true) + "|" + apic->description().to8Bit(true) + "|" +
              std::to_string(apic->type()) + "|" + std::string(data.data(), data.size());
    } else if (auto* priv = dynamic_cast<const ID3v2::PrivateFrame*>(frame)) {
      text += priv->owner().to8Bit(true) + "|" + std::string(priv->data().data(), priv->data().size());
    } else if (auto* uslt = dynamic_cast<const ID3v2::UnsynchronizedLyricsFrame*>(frame)) {
      text += std::string(uslt->language().data(), 3) + "|" + uslt->description().to8Bit(true) + "|" +
              uslt->text().to8Bit(true);
    } else if (frame->frameID() == "TXXX") {
      text += frame->toString().to8Bit(true);
    } else {
      continue;
    }
    frames.insert(text);
  }
  return frames;
}

// The file's first TagSizeOf bytes.
std::string TagOf(const std::string& bytes) {
  TagInfo info{};
  std::memcpy(info.SizeBytes, bytes.data() + 6, 4);
  info.FileSize = static_cast<std::int32_t>(bytes.size());
  return bytes.substr(0, static_cast<std::size_t>(id3v2::TagSizeOf(info)));
}

// Saves again and expects nothing at all to change: the bytes, the song's
// stamp (times, permissions, inode) and the folder's time.
void ExpectUnchangedSave(const TID3v2& tag, const std::string& path, const std::string& folder) {
  testing_support::MoveTimesBack({path, folder});
  const std::string bytes = ReadFileBytes(path);
  platform::FileStamp song, songAfter, dir, dirAfter;
  ASSERT_TRUE(platform::StampOf(path, song) && platform::StampOf(folder, dir));
  ASSERT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(tag.LastSave().How, SaveHow::Unchanged);
  EXPECT_TRUE(ReadFileBytes(path) == bytes);
  ASSERT_TRUE(platform::StampOf(path, songAfter) && platform::StampOf(folder, dirAfter));
  EXPECT_TRUE(songAfter == song);
  EXPECT_EQ(dirAfter.ModifiedNs, dir.ModifiedNs);
}

}  // namespace

TEST(ID3v2Carry, OtherProgramsFramesSurviveBothWaysOfSaving) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string untagged = SongAudio() + Id3v1Trailer();
  struct Source {
    const char* name;
    std::function<void(const std::string&)> tagFile;
    SaveHow how;
  };
  const Source sources[] = {
      // Tags far beyond 4096 bytes with the other program's padding go in
      // place from the first save; without padding they are rewritten.
      {"mutagen 2.3 with cover", [](const std::string& p) { TagWithMutagen(p, 3, true); }, SaveHow::InPlace},
      {"mutagen 2.4 with cover", [](const std::string& p) { TagWithMutagen(p, 4, true); }, SaveHow::InPlace},
      {"mutagen 2.3 with cover, its padding", [](const std::string& p) { TagWithMutagen(p, 3, true, "default"); },
       SaveHow::InPlace},
      {"mutagen 2.4 with cover, its padding", [](const std::string& p) { TagWithMutagen(p, 4, true, "default"); },
       SaveHow::InPlace},
      {"mutagen 2.4 with cover, no padding", [](const std::string& p) { TagWithMutagen(p, 4, true, "0"); },
       SaveHow::Rewritten},
      {"mutagen 2.3", [](const std::string& p) { TagWithMutagen(p, 3, false); }, SaveHow::InPlace},
      {"mutagen 2.4", [](const std::string& p) { TagWithMutagen(p, 4, false); }, SaveHow::InPlace},
      {"TagLib 2.3 with cover", [](const std::string& p) { TagWithTagLib(p, 3); }, SaveHow::InPlace},
      {"TagLib 2.4 with cover", [](const std::string& p) { TagWithTagLib(p, 4); }, SaveHow::InPlace},
  };
  for (const Source& source : sources) {
    SCOPED_TRACE(source.name);
    WriteFileBytes(path, untagged);
    source.tagFile(path);
    const std::string mutagenBefore = Python(kMutagenCarried, ShellQuote(path));
    const std::multiset<std::string> tagLibBefore = TagLibCarried(path);
    ASSERT_GE(tagLibBefore.size(), 4u);
    ASSERT_NE(mutagenBefore.find("'F\u00e1#m'"), std::string::npos) << mutagenBefore;
    const std::string original = ReadFileBytes(path);
    const std::string audio = AudioBytesOf(original);

    TID3v2 tag;
    ASSERT_TRUE(tag.ReadFromFile(path));
    tag.SetTitle("Novo");
    tag.SetFrameTCAD("S");
    ASSERT_TRUE(tag.SaveToFile(path));
    EXPECT_EQ(tag.LastSave().How, source.how);
    const std::string bytes = ReadFileBytes(path);
    EXPECT_TRUE(AudioBytesOf(bytes) == audio);
    EXPECT_EQ(bytes.substr(bytes.size() - 128), original.substr(original.size() - 128));
    EXPECT_EQ(Python(kMutagenCarried, ShellQuote(path)), mutagenBefore);
    EXPECT_TRUE(TagLibCarried(path) == tagLibBefore);

    // The slot frames are those the same object writes into an untagged
    // song, byte for byte, and the carried frames follow them; in a tag
    // larger than 4096 bytes the carried frames come first. Then padding.
    const std::string plainPath = dir.File("plain.mp3");
    WriteFileBytes(plainPath, untagged);
    ASSERT_TRUE(tag.SaveToFile(plainPath));
    const std::string plain = TagOf(ReadFileBytes(plainPath));
    const std::string saved = TagOf(bytes);
    const std::string carried = id3v2::CarriedFrames(saved);
    std::size_t slotsEnd = 10;  // of the plain tag's frames
    while (slotsEnd + 10 <= plain.size() && plain[slotsEnd] != '\0')
      slotsEnd += 10 + platform::BigEndian(std::string_view(plain).substr(slotsEnd + 4, 4));
    const std::string slots = plain.substr(10, slotsEnd - 10);
    EXPECT_EQ(plain.find_first_not_of('\0', slotsEnd), std::string::npos);
    const bool large = saved.size() > 4096;
    EXPECT_EQ(saved.substr(10, carried.size() + slots.size()), large ? carried + slots : slots + carried);
    const std::size_t framesEnd = 10 + carried.size() + slots.size();
    EXPECT_EQ(saved.find_first_not_of('\0', framesEnd), std::string::npos);
    // The other program's comment shared the catalogue's frame ID: one
    // COMM remains, the catalogue's.
    EXPECT_EQ(saved.find("COMM"), saved.rfind("COMM"));
    // A rewrite leaves the room: up to a multiple of 4096, 1024 bytes at least.
    if (source.how == SaveHow::Rewritten) {
      EXPECT_EQ(saved.size() % 4096, 0u);
      EXPECT_GE(saved.size() - framesEnd, 1024u);
    }

    TID3v2 again;
    ASSERT_TRUE(again.ReadFromFile(path));
    EXPECT_EQ(again.Title(), "Novo");
    EXPECT_EQ(again.Artist(), "Artist");
    ExpectUnchangedSave(tag, path, dir.Path());

    // A later edit with longer texts stays in the tag's room.
    again.SetTitle("Novo t\xEDtulo, bem mais longo que o primeiro");
    ASSERT_TRUE(again.SaveToFile(path));
    EXPECT_EQ(again.LastSave().How, SaveHow::InPlace);
    // In a large tag the carried frames stayed where they were: only what
    // follows them changed.
    const std::string later = ReadFileBytes(path);
    EXPECT_EQ(later.size(), bytes.size());
    if (large) {
      EXPECT_EQ(later.substr(0, 10 + carried.size()), bytes.substr(0, 10 + carried.size()));
    }
    EXPECT_EQ(Python(kMutagenCarried, ShellQuote(path)), mutagenBefore);
    EXPECT_EQ(testing_support::ReadWithTagLib(path).Text("TIT2"), "Novo t\xEDtulo, bem mais longo que o primeiro");
  }
}

TEST(ID3v2Carry, WhichFramesOfAnOldTagAreKept) {
  const std::string key = Id3v2Frame("TXXX", B("\0KEY\0Am"));
  const std::string priv = Id3v2Frame("PRIV", B("owner\0\xFF\x00\x01"));
  const std::string slots = Id3v2Frame("TIT2", TextPayload("Title")) + Id3v2Frame("COMM", B("\0por\0x")) +
                            Id3v2Frame("TOPE", TextPayload("Orig"));
  // Version 2.3: byte for byte, flags too, except "discard when altered".
  const std::string grouped = Id3v2Frame("GEOB", "\x01" "group", -1, 0x20);
  const std::string discarded = std::string("TXXX") + BigEndian(3, 4) + '\x80' + '\0' + B("\0a\0");
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, key + slots + grouped + discarded + priv, 100)), key + grouped + priv);
  // Kept where they lie in the tag, frames side by side as one run.
  const std::string tag = Id3v2Tag(3, key + priv + slots + grouped, 100);
  const id3v2::CarriedPieces pieces = id3v2::CarriedFramesOf(tag);
  ASSERT_EQ(pieces.Kept.size(), 2u);
  EXPECT_EQ(pieces.Kept[0].data(), tag.data() + 10);
  EXPECT_EQ(pieces.Kept[0], key + priv);
  EXPECT_EQ(pieces.Kept[1], grouped);
  EXPECT_TRUE(pieces.Own.empty());
  EXPECT_EQ(pieces.Size(), (key + priv + grouped).size());

  // A frame not whole inside the tag, or a header that is none, ends it.
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, key + Id3v2Frame("PRIV", "abc", 50) + priv)), key);
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, key + Id3v2Frame("pr!v", "abc") + priv)), key);
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, key + Id3v2Frame("PRIV", "", 0) + priv)), key);
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, key).substr(0, 15)), "");

  // Unsynchronisation undone; an extended header stepped over.
  const std::string unsynced = key + Id3v2Frame("PRIV", B("o\0\xFF\x00\xE0"), 4);
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, unsynced, 0, 0x80)), key + Id3v2Frame("PRIV", B("o\0\xFF\xE0")));
  EXPECT_TRUE(id3v2::CarriedFramesOf(Id3v2Tag(3, unsynced, 0, 0x80)).Kept.empty());
  const std::string extended = BigEndian(6, 4) + std::string(6, '\0');
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, extended + key + priv, 0, 0x40)), key + priv);
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(3, BigEndian(600, 4) + key, 0, 0x40)), "");

  // Version 2.4: synchsafe sizes, UTF-8 and UTF-16BE texts as UTF-16 with
  // byte-order mark, grouping kept, 2.4-only frames and format flags gone.
  const auto frame24 = [](const std::string& id, const std::string& payload, char status = 0, char format = 0) {
    return id + Synchsafe(static_cast<std::uint32_t>(payload.size())) + status + format + payload;
  };
  const std::string utf8 = frame24("TXXX", B("\x03K\0F\xC3\xA1#m"));
  const std::string utf16 = frame24("USLT", B("\x02por\0\0\0L\0\xE1"));
  const std::string picture = frame24("APIC", B("\x03image/png\0\x03" "D\0\x89PNG"));
  const std::string groupedText = frame24("TKEY", B("\x07\x03" "Am"), 0x20, 0x40);
  const std::string dropped = frame24("TDRL", TextPayload("2001")) + frame24("PRIV", B("o\0x"), 0, 0x01) +
                              frame24("PRIV", B("o\0x"), 0, 0x02) + frame24("PRIV", B("o\0x"), 0x40) +
                              frame24("TCMP", TextPayload("1"));
  const std::string big(300, 'x');
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(4, utf8 + dropped + utf16 + picture + groupedText + frame24("PRIV", big), 20, 0x10)),
            Id3v2Frame("TXXX", B("\x01\xFF\xFEK\0\0\0\xFF\xFE" "F\0\xE1\0#\0m\0")) +
                Id3v2Frame("USLT", B("\x01por\xFF\xFE\0\0\xFF\xFEL\0\xE1\0")) +
                Id3v2Frame("APIC", B("\x01image/png\0\x03\xFF\xFE" "D\0\0\0\x89PNG")) +
                Id3v2Frame("TKEY", B("\x07\x01\xFF\xFE" "A\0m\0"), -1, 0x20).replace(8, 1, "\x40") +
                Id3v2Frame("PRIV", big));
  // Bad UTF-8: each byte that starts no valid sequence, one U+FFFD.
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(4, frame24("TKEY", B("\x03" "a\xE2\x82(\xC0\xAF")))),
            Id3v2Frame("TKEY", B("\x01\xFF\xFE" "a\0\xFD\xFF\xFD\xFF(\0\xFD\xFF\xFD\xFF")));

  // Version 2.2 and unknown versions: nothing.
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(2, Id3v2Frame22("TXX", B("\0a\0b")))), "");
  EXPECT_EQ(id3v2::CarriedFrames(Id3v2Tag(5, key)), "");
}

TEST(ID3v2Carry, AnIdenticalSaveWritesNothing) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  WriteFileBytes(path, SongAudio() + Id3v1Trailer());
  TID3v2 tag;
  tag.SetTitle("Abc");
  tag.SetRating(3);
  ASSERT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(tag.LastSave().How, SaveHow::Rewritten);
  ExpectUnchangedSave(tag, path, dir.Path());
  // A read-only song is not made writable when nothing is written.
  ASSERT_TRUE(platform::SetFileMode(path, 0444));
  ExpectUnchangedSave(tag, path, dir.Path());
  EXPECT_EQ(platform::FileMode(path), 0444);

  // One byte different, and the tag is written.
  tag.SetRating(4);
  ASSERT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(tag.LastSave().How, SaveHow::InPlace);
  EXPECT_EQ(platform::FileMode(path), 0644);
  EXPECT_EQ(ReadFileBytes(path).substr(24, 12), std::string("POPM\0\0\0\x02\0\0\0\x04", 12));
  // The same tag over a longer old one (a rewrite that shrinks the song)
  // is no identical save.
  const std::string shorter = ReadFileBytes(path);
  WriteFileBytes(path, Id3v2Tag(3, shorter.substr(10, 26), 5000) + SongAudio() + Id3v1Trailer());
  ASSERT_TRUE(tag.SaveToFile(path));
  EXPECT_EQ(tag.LastSave().How, SaveHow::Rewritten);
  EXPECT_TRUE(ReadFileBytes(path) == shorter);
}
