#!/usr/bin/python3
"""Makes the seed files of the fuzz targets in fuzz/corpus/<target>/.

Real audio comes from lame and ffmpeg, tags from mutagen; the odd cases are
built byte by byte. Every file is kept small: the seeds only show the
fuzzer each structure once. Run it again after changing it and commit the
result; the fuzzer's own findings are added next to these files.
"""
import math
import os
import struct
import subprocess
import sys
import tempfile
import wave

from mutagen.id3 import ID3, COMM, POPM, TALB, TCON, TIT2, TPE1, TRCK, TXXX, TYER, WXXX, TDRC, TIT1

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def synchsafe(n):
    return bytes((n >> s) & 0x7F for s in (21, 14, 7, 0))


def frame23(fid, payload, flags2=0):
    return fid.encode() + struct.pack(">I", len(payload)) + bytes([0, flags2]) + payload


def frame22(fid, payload):
    return fid.encode() + struct.pack(">I", len(payload))[1:] + payload


def tag(version, body, padding=0, flags=0):
    return b"ID3" + bytes([version, 0, flags]) + synchsafe(len(body) + padding) + body + bytes(padding)


def id3v1(title, track=0, genre=13, comment=b"comment"):
    def field(text, size):
        return text[:size].ljust(size, b"\0")
    out = b"TAG" + field(title, 30) + field(b"Artist", 30) + field(b"Album", 30) + b"1999"
    out += field(comment, 30) if track == 0 else field(comment, 28) + bytes([0, track])
    return out + bytes([genre])


def sine_wav(path, seconds, rate=44100, channels=2):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        frames = bytearray()
        for i in range(int(seconds * rate)):
            v = int(8000 * math.sin(2 * math.pi * 440 * i / rate))
            frames += struct.pack("<h", v) * channels
        w.writeframes(bytes(frames))


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def lame(tmp, name, options, seconds=0.4, rate=44100, channels=2):
    source = os.path.join(tmp, name + ".wav")
    target = os.path.join(tmp, name + ".mp3")
    sine_wav(source, seconds, rate, channels)
    run("lame", "--quiet", *options, source, target)
    return open(target, "rb").read()


def mp2(tmp, seconds=0.3):
    source = os.path.join(tmp, "layer2.wav")
    target = os.path.join(tmp, "layer2.mp2")
    sine_wav(source, seconds)
    run("ffmpeg", "-y", "-loglevel", "quiet", "-i", source, "-c:a", "mp2", "-b:a", "64k", "-f", "mp2", target)
    return open(target, "rb").read()


def mutagen_tagged(tmp, audio, version):
    path = os.path.join(tmp, "tagged%d.mp3" % version)
    open(path, "wb").write(audio)
    tags = ID3()
    tags.add(TIT2(encoding=1, text="T\u00edtulo"))
    tags.add(TPE1(encoding=0, text="Artist"))
    tags.add(TALB(encoding=3, text="Album"))
    tags.add(TRCK(encoding=0, text="7/12"))
    tags.add(TCON(encoding=0, text="(13)Pop"))
    tags.add(COMM(encoding=1, lang="eng", desc="d", text="Comment"))
    tags.add(WXXX(encoding=0, desc="", url="http://example.org"))
    tags.add(POPM(email="someone@example.org", rating=200, count=3))
    tags.add(TXXX(encoding=0, desc="KEY", text="value"))
    if version == 3:
        tags.add(TYER(encoding=0, text="2009"))
    else:
        tags.add(TDRC(encoding=0, text="2009-05-01"))
    tags.add(TIT1(encoding=0, text="Group"))
    tags.save(path, v2_version=version, padding=lambda info: 64)
    return open(path, "rb").read()


def own_frames_tag():
    body = b"".join(frame23(fid, b"\0" + text) for fid, text in [
        (b"TIT2".decode(), b"Title"), ("TRIT", b"Samba"), ("TEST", b"Sub"), ("TIDM", b"pt"),
        ("TCAD", b"S"), ("TSUC", b"x"), ("TGRA", b"Label"), ("TVOC", b"Vocal"), ("TTPE", b"Decade"),
        ("TPIN", b"1970"), ("TPFI", b"1979"), ("TPMI", b"m"), ("TRCK", b"3")])
    body += frame23("POPM", b"\0\x96")
    return tag(3, body, padding=4096 - 10 - len(body))


def foreign_frames_tags():
    """Frames no slot owns: kept by a save (2.3 as they are, 2.4 rewritten)."""
    frames23 = (frame23("TIT2", b"\0Title") + frame23("TXXX", b"\0KEY\0Am")
                + frame23("PRIV", b"cues\0\xff\x00\x01") + frame23("APIC", b"\0image/png\0\x03d\0\x89PNG")
                + frame23("TXXX", b"\0gone\0x")[:8] + b"\x80\0" + b"\0gone\0x"
                + frame23("GEOB", b"\x07\0m\0f\0d\0data", flags2=0x20))
    v23 = tag(3, frames23.replace(b"\xff", b"\xff\x00"), padding=64, flags=0x80)

    def frame24(fid, payload, status=0, fmt=0):
        return fid.encode() + synchsafe(len(payload)) + bytes([status, fmt]) + payload
    frames24 = (frame24("TXXX", b"\x03K\0F\xc3\xa1#m") + frame24("USLT", b"\x02por\0\0\0L\0\xe1")
                + frame24("TKEY", b"\x07\x03Am", 0x20, 0x40) + frame24("TDRL", b"\0" + b"2001")
                + frame24("PRIV", b"o\0x", 0, 0x01) + frame24("PRIV", b"o\0" + bytes(200)))
    v24 = tag(4, frames24, padding=32)
    return v23, v24


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, name), "wb").write(data)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        cbr = lame(tmp, "cbr", ["-b", "128"])
        vbr = lame(tmp, "vbr", ["-V", "2"])
        mono8k = lame(tmp, "mono8k", ["-b", "8", "-m", "m", "--resample", "8"], seconds=4.0, rate=8000, channels=1)
        layer2 = mp2(tmp)
        v23 = mutagen_tagged(tmp, cbr[:4500], 3)
        v24 = mutagen_tagged(tmp, cbr[:4500], 4)

    # lame's CBR file starts with an "Info" frame; a bare CBR stream without it.
    bare = cbr[417:] if cbr[417:419] == b"\xff\xfb" else cbr
    vbri = vbr.replace(b"Xing", b"VBRI", 1)
    utf16 = tag(3, frame23("TIT2", b"\x01\xff\xfeT\0i\0\0\0") + frame23("COMM", b"\x01eng\xff\xfed\0\0\0\xff\xfex\0"))
    v22 = tag(2, frame22("TT2", b"\0Title") + frame22("TRI", b"\0Samba") + frame22("POP", b"\0\x20")
              + frame22("TCO", b"\0(17)"), padding=32)
    footer = tag(4, frame23("TIT2", b"\0Footer"), flags=0x10) + b"3DI\x04\0\x10" + synchsafe(17)
    extended = tag(3, b"\0\0\0\x06\0\0\0\0\0\0" + frame23("TIT2", b"\0Hidden"), flags=0x40)
    compressed = tag(3, frame23("TIT2", b"\0Packed", flags2=0x80) + frame23("TPE1", b"\0Plain"))
    too_long = b"ID3\x03\0\0" + synchsafe(100000) + frame23("TIT2", b"\0Cut")

    write("id3v1", "v10.bin", b"junk" * 4 + id3v1(b"Song"))
    write("id3v1", "v11.bin", id3v1(b"Song\0ab", track=5, genre=147))
    write("id3v1", "blank-track.bin", id3v1(b"  Spaces", genre=200, comment=b"x" * 28 + b" x"))
    write("id3v1", "no-tag.bin", b"tag" + bytes(125))

    for name, data in [("v22.bin", v22), ("v23-mutagen.bin", v23[:1200]), ("v24-mutagen.bin", v24[:1200]),
                       ("utf16.bin", utf16), ("footer.bin", footer), ("extended.bin", extended),
                       ("compressed.bin", compressed), ("too-long.bin", too_long),
                       ("own-frames.bin", own_frames_tag()[:700]), ("version5.bin", b"ID3\x05\0\0\0\0\0\x10" + bytes(16))]:
        write("id3v2", name, data)

    mpeg = [("cbr.mp3", cbr[:5000]), ("bare.mp3", bare[:4000]), ("vbr-xing.mp3", vbr[:4000]),
            ("vbri.mp3", vbri[:4000]), ("mono8k.mp3", mono8k[:3600]), ("layer2.mp2", layer2[:4000]),
            ("junk-first.mp3", bytes(2000) + bare[:3000]), ("tagged-v1.mp3", bare[:3600] + id3v1(b"Song", 3)),
            ("lame-at-end.mp3", bare[:3500] + b"LAME3.100" + bare[3500:3700])]
    for name, data in mpeg:
        write("mpeg", name, data)

    pipeline = [("untagged.mp3", bare[:4000]), ("vbr-v23.mp3", v23[:v23.index(b"\xff\xfb")] + vbr[:4000]), ("v23.mp3", v23), ("v24.mp3", v24),
                ("id3v1-only.mp3", bare[:4000] + id3v1(b"Old", 4)),
                ("own-frames.mp3", own_frames_tag() + bare[:3600]),
                ("too-long.mp3", too_long + bare[:3600]), ("footer.mp3", footer + bare[:3600] + id3v1(b"T")),
                ("foreign-v23-unsync.mp3", foreign_frames_tags()[0] + bare[:3600]),
                ("foreign-v24.mp3", foreign_frames_tags()[1] + bare[:3600])]
    for name, data in pipeline:
        write("pipeline", name, data)

    def riff(fmt_size, channels, extra, data_len=64, riff_size=None):
        fmt = struct.pack("<HHIIHH", 1, channels, 22050, 22050 * 2 * channels, 2 * channels, 16)
        fmt = fmt.ljust(fmt_size, b"\0")
        body = b"WAVE" + b"fmt " + struct.pack("<I", fmt_size) + fmt + extra + b"data" + struct.pack("<I", data_len)
        size = len(body) + data_len if riff_size is None else riff_size
        return b"RIFF" + struct.pack("<I", size) + body + bytes(data_len)

    write("wav", "pcm.wav", riff(16, 2, b""))
    write("wav", "fact.wav", riff(18, 1, b"fact" + struct.pack("<II", 4, 22050)))
    write("wav", "fmt18-data.wav", riff(18, 2, b""))
    write("wav", "short-riff.wav", riff(16, 2, b"", riff_size=20))
    write("wav", "big-fmt.wav", riff(16, 2, b"")[:16] + struct.pack("<I", 65500) + riff(16, 2, b"")[20:])
    write("wav", "six-channels.wav", riff(16, 6, b""))


if __name__ == "__main__":
    sys.exit(main())
