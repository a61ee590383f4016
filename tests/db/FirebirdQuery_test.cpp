// Buffered queries against a real embedded catalogue: values and NULLs,
// Windows-1252 texts both ways, moving through rows and fetching them in
// steps, and the window's list query.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DbTestTools.h"

namespace {

using namespace db_test;

constexpr int kNumberedSongs = 25;  // songs 101..125, besides the named ones

// One catalogue for the whole suite, with songs that exercise NULLs,
// accents, apostrophes and songs with several genres or none.
class FirebirdQuery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<testing_support::TempDir>();
    fdb_ = dir_->File("catalogue.fdb");
    CatalogueBuilder catalogue;
    catalogue.Folder(1, "/música/")
        .Genre(1, "Axé")
        .Genre(3, "Rock")
        .Genre(7, "Samba")
        .SubGenre(1, "Bossa")
        .Rhythm(1, "Lento")
        .Language(1, "Português")
        .Label(1, "Gravadora d'Ouro")
        .Vocal(1, "Masculino")
        .Song({.codigo = 1, .nome = "Canção do Mar", .interprete = "Intérprete", .tempo = "03:15",
               .tipo = "M", .album = "Álbum", .ano = 1998, .faixa = 4,
               .nomeCompleto = "Canção do Mar - Intérprete", .subCodigo = 1, .ritCodigo = 1,
               .vocCodigo = 1, .graCodigo = 1, .idiCodigo = 1, .pasCodigo = 1,
               .arquivo = "canção.mp3", .compositor = "Compositor", .tipoPeriodo = "D",
               .periodoInicio = "1990", .periodoFim = "1999", .segundos = 195, .avaliacao = 204})
        .SongGenre(1, 7)
        .SongGenre(1, 3)
        .SongGenre(1, 1)
        .Song({.codigo = 2, .nomeCompleto = "Não Sei"})
        .Song({.codigo = 3, .nome = "Sem nome completo"})
        .Song({.codigo = 4, .nomeCompleto = "Rock 'n' Roll", .tipoPeriodo = "A"})
        .SongGenre(4, 3);
    for (int code = 101; code < 101 + kNumberedSongs; ++code) {
      catalogue.Song({.codigo = code, .nomeCompleto = "Numbered " + std::to_string(code)})
          .SongGenre(code, 3)
          .SongGenre(code, 7);
    }
    testing_support::CreateCatalogue(fdb_, catalogue.Sql());
  }

  static void TearDownTestSuite() {
    dir_.reset();
  }

  FirebirdQuery() {
    connection_.SetDatabaseName(fdb_);
  }

  // Opens sql in the fixture's query and returns it.
  Query& Open(const std::string& sql) {
    query_.SetSQL(sql);
    query_.Open();
    return query_;
  }

  static std::unique_ptr<testing_support::TempDir> dir_;
  static std::string fdb_;
  Connection connection_;
  Transaction transaction_{connection_};
  Query query_{connection_, transaction_};
};

std::unique_ptr<testing_support::TempDir> FirebirdQuery::dir_;
std::string FirebirdQuery::fdb_;

TEST_F(FirebirdQuery, ValuesAndNullsOfASong) {
  Query& full = Open("SELECT * FROM Tb_Musicas WHERE Mus_Codigo = 1");
  EXPECT_EQ(full.FieldAsText("MUS_NOME"), "Can\xE7\xE3o do Mar");
  EXPECT_EQ(full.FieldAsText("Mus_Ano"), "1998");
  EXPECT_EQ(full.FieldAsInteger("Mus_Faixa"), 4);
  EXPECT_EQ(full.FieldAsInteger("Mus_Avaliacao"), 204);
  EXPECT_EQ(full.FieldAsText("Mus_TipoPeriodo"), "D");
  EXPECT_EQ(full.FieldAsText("Mus_Tempo"), "03:15");
  EXPECT_FALSE(full.FieldIsNull("Mus_Compositor"));
  // A text that is no number cannot be read as one.
  EXPECT_THROW(full.FieldAsInteger("Mus_Nome"), DatabaseError);
  EXPECT_THROW(full.FieldAsInteger("Mus_Tempo"), DatabaseError);

  Query& bare = Open("SELECT * FROM Tb_Musicas WHERE Mus_Codigo = 2");
  for (const char* column : {"Mus_Nome", "Mus_Ano", "Mus_Faixa", "Mus_TipoPeriodo", "Mus_Avaliacao",
                             "Pas_Codigo", "Mus_Arquivo"}) {
    EXPECT_TRUE(bare.FieldIsNull(column)) << column;
    EXPECT_EQ(bare.FieldAsText(column), "") << column;
    EXPECT_EQ(bare.FieldAsInteger(column), 0) << column;
  }
  EXPECT_FALSE(bare.FieldIsNull("Mus_NomeCompleto"));
  EXPECT_THROW(bare.FieldAsText("No_Such_Column"), DatabaseError);

  // An empty result reads as NULL everywhere and is at its end at once.
  Query& none = Open("SELECT * FROM Tb_Musicas WHERE Mus_Codigo = -1");
  EXPECT_TRUE(none.IsOpen());
  EXPECT_TRUE(none.IsEmpty());
  EXPECT_TRUE(none.Eof());
  EXPECT_TRUE(none.AllFetched());
  EXPECT_EQ(none.FieldAsText("Mus_Nome"), "");
  EXPECT_TRUE(none.FieldIsNull("Mus_Nome"));
  none.Next();
  EXPECT_TRUE(none.Eof());
  EXPECT_THROW(none.MoveTo(0), std::out_of_range);
}

// A text with a marker is prepared once and run again with each value,
// every row fetched or not, and prepared anew after the connection closed.
TEST_F(FirebirdQuery, AMarkerTakesAnIntegerAtEveryOpen) {
  query_.SetSQL("SELECT Gen_Codigo FROM Tb_MusicaGeneros WHERE Mus_Codigo = ? ORDER BY Gen_Codigo");
  const auto genresOf = [&](int song) {
    query_.SetIntegerParameters({song});
    query_.Open();
    std::string codes;
    for (; !query_.Eof(); query_.Next()) codes += query_.FieldAsText("GEN_CODIGO") + " ";
    return codes;
  };
  EXPECT_EQ(genresOf(1), "1 3 7 ");
  EXPECT_EQ(genresOf(4), "3 ");
  EXPECT_EQ(genresOf(2), "");
  query_.SetIntegerParameters({1});
  query_.Open();  // the first row only, the cursor left open
  EXPECT_EQ(genresOf(101), "3 7 ");
  connection_.Disconnect();
  EXPECT_EQ(genresOf(4), "3 ");
}

TEST_F(FirebirdQuery, TextsTravelAsWindows1252BothWays) {
  // Stored through isql from UTF-8, read back as Windows-1252 bytes.
  EXPECT_EQ(Open("SELECT Gen_Nome FROM Tb_Genero WHERE Gen_Codigo = 1").FieldAsText("Gen_Nome"),
            "Ax\xE9");
  EXPECT_EQ(Open("SELECT Pas_Path FROM Tb_Pastas").FieldAsText("Pas_Path"), "/m\xFAsica/");

  // Windows-1252 bytes in the statement find the accented rows, also
  // through UPPER, as the search box sends them.
  Query& byName = Open("SELECT Mus_Codigo FROM Tb_Musicas WHERE Mus_Nome = 'Can\xE7\xE3o do Mar'");
  EXPECT_EQ(byName.FieldAsInteger("Mus_Codigo"), 1);
  Query& upper = Open("SELECT Mus_Codigo FROM Tb_Musicas WHERE UPPER(Mus_NomeCompleto) LIKE '%\xC7\xC3O%'");
  EXPECT_EQ(upper.FieldAsInteger("Mus_Codigo"), 1);
  EXPECT_EQ(Open("SELECT UPPER(Mus_Nome) AS Big FROM Tb_Musicas WHERE Mus_Codigo = 1").FieldAsText("big"),
            "CAN\xC7\xC3O DO MAR");

  // Stored from Windows-1252 bytes, read back unchanged, and seen by isql
  // in UTF-8 as the same letters. The row is removed again afterwards so
  // the other tests see the catalogue as built. The embedded engine holds
  // the file while attached, so isql only runs while disconnected.
  connection_.Disconnect();
  testing_support::RunSqlCp1252(fdb_, "INSERT INTO Tb_Vocal VALUES (9, 'Cora\xE7\xE3o');");
  EXPECT_EQ(Open("SELECT Voc_Nome FROM Tb_Vocal WHERE Voc_Codigo = 9").FieldAsText("Voc_Nome"),
            "Cora\xE7\xE3o");
  connection_.Disconnect();
  EXPECT_EQ(testing_support::CommandOutput(
                "printf 'SELECT Voc_Nome FROM Tb_Vocal WHERE Voc_Codigo = 9;' | isql-fb -q -ch UTF8 -user SYSDBA " +
                testing_support::ShellQuote(fdb_) + " | grep -c 'Coração'"),
            "1\n");
  testing_support::RunSql(fdb_, "DELETE FROM Tb_Vocal WHERE Voc_Codigo = 9;");
}

TEST_F(FirebirdQuery, NumbersDatesAndBlobsAsText) {
  Query& values = Open(
      "SELECT CAST(12.5 AS NUMERIC(9,2)) AS Price, CAST(-0.05 AS NUMERIC(9,2)) AS Small, "
      "CAST(1234.5 AS NUMERIC(15,2)) AS Wide, CAST(2.5 AS DOUBLE PRECISION) AS Ratio, "
      "CAST('2012-05-01 13:14:15' AS DATE) AS Stamp, CAST('Lado A' AS CHAR(10)) AS Padded, "
      "CAST(' ' AS CHAR(1)) AS BlankChar, CAST('Lado A  ' AS VARCHAR(10)) AS VarText, "
      "CAST('Mem\xF3ria' AS BLOB SUB_TYPE 1) AS Memo, CAST(NULL AS BLOB SUB_TYPE 1) AS NoMemo "
      "FROM RDB$DATABASE");
  EXPECT_EQ(values.FieldAsText("Price"), "12.50");
  EXPECT_EQ(values.FieldAsText("Small"), "-0.05");
  EXPECT_EQ(values.FieldAsText("Wide"), "1234.50");  // a double with scale in dialect 1
  EXPECT_EQ(values.FieldAsText("Ratio"), "2.5");
  EXPECT_EQ(values.FieldAsText("Stamp"), "2012-05-01 13:14:15");
  EXPECT_EQ(values.FieldAsText("Padded"), "Lado A");  // CHAR comes without its padding
  EXPECT_EQ(values.FieldAsText("BlankChar"), "");
  EXPECT_FALSE(values.FieldIsNull("BlankChar"));
  EXPECT_EQ(values.FieldAsText("VarText"), "Lado A  ");
  EXPECT_EQ(values.FieldAsText("Memo"), "Mem\xF3ria");
  EXPECT_TRUE(values.FieldIsNull("NoMemo"));
  EXPECT_THROW(values.FieldAsInteger("Price"), DatabaseError);

  // Statements are prepared in dialect 1: double quotes make a text, and
  // dividing integers gives a fraction.
  Query& dialect = Open("SELECT \"quoted\" AS Quoted, 1/2 AS Half FROM RDB$DATABASE");
  EXPECT_EQ(dialect.FieldAsText("Quoted"), "quoted");
  EXPECT_EQ(dialect.FieldAsText("Half"), "0.5");

  // More columns than the first description has room for.
  Query& wide = Open(
      "SELECT A.*, B.* FROM Tb_Musicas A JOIN Tb_Musicas B ON B.Mus_Codigo = A.Mus_Codigo "
      "WHERE A.Mus_Codigo = 1");
  ASSERT_EQ(wide.ColumnNames().size(), 44u);
  EXPECT_EQ(wide.ColumnNames().back(), "MUS_AVALIACAO");
  EXPECT_EQ(wide.ValueAt(0, "Mus_Avaliacao"), "204");  // the first of a repeated name
}

TEST_F(FirebirdQuery, MovingFetchingAndBookmarks) {
  Query& q = Open("SELECT Mus_Codigo FROM Tb_Musicas WHERE Mus_Codigo > 100 ORDER BY Mus_Codigo");
  // Open fetches only the first row.
  EXPECT_EQ(q.FetchedCount(), 1);
  EXPECT_FALSE(q.AllFetched());
  EXPECT_EQ(q.CurrentRow(), 0);

  q.FetchMore(5);
  EXPECT_EQ(q.FetchedCount(), 6);
  EXPECT_EQ(q.CurrentRow(), 0);
  EXPECT_EQ(q.ValueAt(5, "mus_codigo"), "106");
  EXPECT_THROW(q.ValueAt(6, "Mus_Codigo"), std::out_of_range);  // not fetched yet

  // Moving beyond the fetched rows fetches them on demand.
  q.MoveTo(9);
  EXPECT_EQ(q.FieldAsInteger("Mus_Codigo"), 110);
  EXPECT_EQ(q.FetchedCount(), 10);
  const Query::Bookmark at110 = q.GetBookmark();

  // FetchAll keeps the current row.
  q.FetchAll();
  EXPECT_TRUE(q.AllFetched());
  EXPECT_EQ(q.FetchedCount(), kNumberedSongs);
  EXPECT_EQ(q.CurrentRow(), 9);
  EXPECT_EQ(q.FieldAsInteger("Mus_Codigo"), 110);
  q.FetchMore(3);  // nothing left: no change
  EXPECT_EQ(q.FetchedCount(), kNumberedSongs);

  // Walking to the end sets Eof on the last row, which stays current.
  int walked = 0;
  for (q.First(); !q.Eof(); q.Next()) ++walked;
  EXPECT_EQ(walked, kNumberedSongs);
  EXPECT_EQ(q.CurrentRow(), kNumberedSongs - 1);
  EXPECT_EQ(q.FieldAsInteger("Mus_Codigo"), 100 + kNumberedSongs);
  q.Next();
  EXPECT_TRUE(q.Eof());

  // Bookmarks return to their rows and sort by row order.
  q.GotoBookmark(at110);
  EXPECT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldAsInteger("Mus_Codigo"), 110);
  q.MoveTo(2);
  EXPECT_LT(q.GetBookmark(), at110);
  EXPECT_THROW(q.MoveTo(kNumberedSongs), std::out_of_range);
  EXPECT_THROW(q.MoveTo(-1), std::out_of_range);
  EXPECT_EQ(q.CurrentRow(), 2);

  // Close drops rows and columns; reading then fails.
  q.Close();
  EXPECT_FALSE(q.IsOpen());
  EXPECT_EQ(q.FetchedCount(), 0);
  EXPECT_EQ(q.ColumnIndex("Mus_Codigo"), -1);
  EXPECT_THROW(q.First(), DatabaseError);
  EXPECT_THROW(q.Next(), DatabaseError);
  EXPECT_THROW(q.GetBookmark(), DatabaseError);
  q.FetchAll();  // nothing to fetch on a closed query
}

TEST_F(FirebirdQuery, WalkingWithNextFetchesAsItGoes) {
  Query& q = Open("SELECT Mus_Codigo FROM Tb_Musicas WHERE Mus_Codigo > 100 ORDER BY Mus_Codigo");
  int count = 0;
  int last = 0;
  while (!q.Eof()) {
    EXPECT_EQ(q.FieldAsInteger("Mus_Codigo"), 101 + count);
    last = static_cast<int>(q.FieldAsInteger("Mus_Codigo"));
    ++count;
    q.Next();
  }
  EXPECT_EQ(count, kNumberedSongs);
  EXPECT_EQ(last, 100 + kNumberedSongs);
  EXPECT_TRUE(q.AllFetched());
}

TEST_F(FirebirdQuery, TheWindowsListQueryGivesOneRowPerSong) {
  Query& q = Open(testing_support::CatalogueListSql());
  q.FetchAll();
  // Song 3 has no full name and never appears; song 1 with three genres
  // and the numbered songs with two appear once each.
  EXPECT_EQ(q.FetchedCount(), 3 + kNumberedSongs);
  std::string codes;
  for (q.First(); !q.Eof(); q.Next()) codes += q.FieldAsText("Mus_Codigo") + " ";
  EXPECT_EQ(codes.substr(0, 10), "1 2 4 101 ");

  // Column names are found in any letter case, joined columns included.
  q.First();
  for (const char* column : {"MUS_NOMECOMPLETO", "Mus_NomeCompleto", "mus_nomecompleto", "Pas_Path",
                             "SUB_NOME", "rit_nome", "Idi_Nome", "Gra_Nome", "Voc_Nome"}) {
    EXPECT_GE(q.ColumnIndex(column), 0) << column;
  }
  EXPECT_EQ(q.ColumnIndex("Gen_Nome"), -1);
  EXPECT_EQ(q.ColumnNames().size(), 22u + 6u);
  EXPECT_EQ(q.ColumnNames()[q.ColumnIndex("pas_path")], "PAS_PATH");
  EXPECT_EQ(q.FieldAsText("Mus_NomeCompleto"), "Can\xE7\xE3o do Mar - Int\xE9rprete");
  EXPECT_EQ(q.FieldAsText("Pas_Path") + q.FieldAsText("Mus_Arquivo"), "/m\xFAsica/can\xE7\xE3o.mp3");
  EXPECT_EQ(q.FieldAsText("Gra_Nome"), "Gravadora d'Ouro");
  EXPECT_EQ(q.FieldAsText("Idi_Nome"), "Portugu\xEAs");
  q.Next();
  EXPECT_TRUE(q.FieldIsNull("Pas_Path"));
  EXPECT_TRUE(q.FieldIsNull("Sub_Nome"));

  // A search with a doubled apostrophe, and ordering by the full name.
  Query& apostrophe = Open(testing_support::CatalogueListSql("'%ROCK ''N''%'"));
  apostrophe.FetchAll();
  ASSERT_EQ(apostrophe.FetchedCount(), 1);
  EXPECT_EQ(apostrophe.FieldAsText("Mus_NomeCompleto"), "Rock 'n' Roll");
  // The code page's byte order: "Canção", "Numbered ...", "Não Sei"
  // (ã comes after every plain letter), "Rock 'n' Roll".
  Query& byName = Open(testing_support::CatalogueListSql("'%%'", "MUS_NOMECOMPLETO"));
  byName.FetchAll();
  std::string order;
  for (byName.First(); !byName.Eof(); byName.Next()) order += byName.FieldAsText("Mus_Codigo") + " ";
  EXPECT_EQ(order.substr(0, 6), "1 101 ");
  EXPECT_TRUE(order.ends_with(" 125 2 4 ")) << order;
}

TEST_F(FirebirdQuery, BadStatementsFailWithTheClientsText) {
  query_.SetSQL("SELEC * FROM Tb_Musicas");
  try {
    query_.Open();
    FAIL() << "a syntax error was accepted";
  } catch (const DatabaseError& error) {
    const std::string text = error.what();
    EXPECT_NE(text.find("Token unknown"), std::string::npos) << text;
    EXPECT_NE(text.find('\n'), std::string::npos) << "the client's lines are kept: " << text;
  }
  EXPECT_FALSE(query_.IsOpen());
  EXPECT_THROW(Open("SELECT * FROM Tb_Nothing"), DatabaseError);
  EXPECT_THROW(Open("SELECT * FROM Tb_Musicas ORDER BY No_Column"), DatabaseError);
  EXPECT_THROW(Open(""), DatabaseError);

  // Only SELECTs run: a statement that would change the catalogue is
  // refused before it executes.
  EXPECT_THROW(Open("DELETE FROM Tb_Musicas"), DatabaseError);
  EXPECT_THROW(Open("UPDATE Tb_Genero SET Gen_Nome = 'x'"), DatabaseError);
  EXPECT_EQ(Open("SELECT COUNT(*) AS N FROM Tb_Musicas").FieldAsInteger("n"), 4 + kNumberedSongs);
  EXPECT_EQ(Open("SELECT Gen_Nome FROM Tb_Genero WHERE Gen_Codigo = 3").FieldAsText("Gen_Nome"), "Rock");

  // After a failure the same query works again.
  EXPECT_EQ(query_.SQL(), "SELECT Gen_Nome FROM Tb_Genero WHERE Gen_Codigo = 3");
  EXPECT_TRUE(query_.IsOpen());
  query_.SetSQL("SELECT Gen_Nome FROM Tb_Genero ORDER BY Gen_Codigo");
  EXPECT_FALSE(query_.IsOpen());  // a new text closes the query
}

TEST_F(FirebirdQuery, SeveralQueriesShareTheTransaction) {
  // The genre lookup opens a second query while the list stays open.
  Query& list = Open(testing_support::CatalogueListSql());
  Query genre(connection_, transaction_);
  genre.SetSQL(
      "SELECT FIRST(1) G.Gen_Nome FROM Tb_MusicaGeneros Mg\n"
      "INNER JOIN Tb_Genero G ON G.Gen_Codigo = Mg.Gen_Codigo\n"
      "WHERE Mg.Mus_Codigo = " + std::to_string(list.FieldAsInteger("Mus_Codigo")) + "\n"
      "ORDER BY G.Gen_Codigo");
  genre.Open();
  EXPECT_EQ(genre.FieldAsText("GEN_NOME"), "Ax\xE9");
  genre.Close();
  list.Next();
  EXPECT_EQ(list.FieldAsInteger("Mus_Codigo"), 2);
}

}  // namespace
