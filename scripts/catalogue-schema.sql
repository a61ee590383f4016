/* The tables of the music catalogue that Quillmar 2012 reads.
   Dialect 1, default character set WIN1252. Run it in a freshly created
   database, for example:
     SET SQL DIALECT 1;
     CREATE DATABASE 'catalogue.fdb' USER 'SYSDBA'
       DEFAULT CHARACTER SET WIN1252;
     INPUT 'catalogue-schema.sql';
   The catalogue's own editor keeps the codes consistent; no foreign keys
   are declared, so a song may point to a folder or a genre that is gone. */

SET SQL DIALECT 1;

CREATE TABLE Tb_Pastas (
  Pas_Codigo INTEGER NOT NULL PRIMARY KEY,
  Pas_Path   VARCHAR(256)
);

CREATE TABLE Tb_Genero (
  Gen_Codigo INTEGER NOT NULL PRIMARY KEY,
  Gen_Nome   VARCHAR(30)
);

CREATE TABLE Tb_SubGenero (
  Sub_Codigo INTEGER NOT NULL PRIMARY KEY,
  Sub_Nome   VARCHAR(20)
);

CREATE TABLE Tb_Ritmo (
  Rit_Codigo INTEGER NOT NULL PRIMARY KEY,
  Rit_Nome   VARCHAR(20)
);

CREATE TABLE Tb_Idioma (
  Idi_Codigo INTEGER NOT NULL PRIMARY KEY,
  Idi_Nome   VARCHAR(20)
);

CREATE TABLE Tb_Gravadora (
  Gra_Codigo INTEGER NOT NULL PRIMARY KEY,
  Gra_Nome   VARCHAR(20)
);

CREATE TABLE Tb_Vocal (
  Voc_Codigo INTEGER NOT NULL PRIMARY KEY,
  Voc_Nome   VARCHAR(20)
);

CREATE TABLE Tb_Musicas (
  Mus_Codigo        INTEGER NOT NULL PRIMARY KEY,
  Mus_Nome          VARCHAR(45),
  Mus_Interprete    VARCHAR(45),
  Mus_Tempo         VARCHAR(5),
  Mus_Tipo          CHAR(1),
  Mus_Album         VARCHAR(45),
  Mus_Ano           INTEGER,
  Mus_Faixa         INTEGER,
  Mus_NomeCompleto  VARCHAR(100),
  Sub_Codigo        INTEGER,
  Rit_Codigo        INTEGER,
  Voc_Codigo        INTEGER,
  Gra_Codigo        INTEGER,
  Idi_Codigo        INTEGER,
  Pas_Codigo        INTEGER,
  Mus_Arquivo       VARCHAR(256),
  Mus_Compositor    VARCHAR(45),
  Mus_TipoPeriodo   CHAR(1),
  Mus_PeriodoInicio VARCHAR(5),
  Mus_PeriodoFim    VARCHAR(5),
  Mus_Segundos      INTEGER,
  Mus_Avaliacao     INTEGER
);

/* Any number of genres per song. */
CREATE TABLE Tb_MusicaGeneros (
  Mus_Codigo INTEGER NOT NULL,
  Gen_Codigo INTEGER NOT NULL,
  PRIMARY KEY (Mus_Codigo, Gen_Codigo)
);

COMMIT;
