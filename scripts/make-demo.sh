#!/usr/bin/env bash
# Makes a small demo catalogue to try the program on:
#   scripts/make-demo.sh DIR [EXE_DIR]
# DIR/demo.fdb     the catalogue (dialect 1, Windows-1252) with a few dozen
#                  songs, folders, genres and the other lookups: accented and
#                  apostrophe names, songs with several genres and with none,
#                  NULLs where a song lacks a value;
# DIR/musicas/     the songs' files: MP3s made with lame (some already
#                  tagged by lame or mid3v2, some bare), one WAV, one file
#                  that the catalogue names but that is missing.
# An existing DIR/demo.fdb is kept as it is (with whatever tags the program
# already wrote into the files); delete DIR to start afresh.
# With EXE_DIR, BaseZelta.ini is written there ("[BANCO]", "caminho=...").
# Paths are stored in the catalogue's Windows-1252, so DIR is best kept to
# plain ASCII letters.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 DIR [EXE_DIR]" >&2
  exit 2
fi
mkdir -p "$1"
DIR=$(cd "$1" && pwd)
SCRIPTS=$(cd "$(dirname "$0")" && pwd)
FDB="$DIR/demo.fdb"

for tool in isql-fb lame ffmpeg mid3v2; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 1; }
done

# The embedded engine keeps its lock files in /tmp/firebird, which Debian
# opens to root and the firebird group only. Anybody else makes the demo
# with the lock folder of their own that the program uses too, unless
# FIREBIRD_LOCK names one.
use_own_lock_folder_when_needed() {
  local default=/tmp/firebird base
  [ -z "${FIREBIRD_LOCK:-}" ] || return 0
  if [ -d "$default" ]; then
    if [ -r "$default" ] && [ -w "$default" ] && [ -x "$default" ] &&
       { [ ! -e "$default/fb_init" ] || { [ -r "$default/fb_init" ] && [ -w "$default/fb_init" ]; }; }; then
      return 0
    fi
  elif [ ! -e "$default" ] && [ -w /tmp ]; then
    return 0
  fi
  if [[ "${XDG_RUNTIME_DIR:-}" = /* ]] && [ -d "$XDG_RUNTIME_DIR" ] && [ -O "$XDG_RUNTIME_DIR" ]; then
    base=$XDG_RUNTIME_DIR
  elif [[ "${XDG_CACHE_HOME:-}" = /* ]]; then
    base=$XDG_CACHE_HOME
  else
    base=$HOME/.cache
  fi
  export FIREBIRD_LOCK="$base/quillmar2012/firebird"
  (umask 077 && mkdir -p "$FIREBIRD_LOCK")
  chmod 0700 "$FIREBIRD_LOCK"
}

# A text as an SQL string literal.
sql_text() {
  local quote="'"
  printf "'%s'" "${1//$quote/$quote$quote}"
}

make_files() {
  local music="$DIR/musicas"
  local work="$WORK"
  mkdir -p "$music/mpb" "$music/rock" "$music/varios"

  # A few seconds of tone, encoded a few ways; every song gets a copy.
  ffmpeg -loglevel error -y -f lavfi -i "sine=frequency=440:duration=4" -ac 2 -ar 44100 "$work/tone.wav"
  lame --quiet -b 128 "$work/tone.wav" "$work/cbr.mp3"
  lame --quiet -V 2 "$work/tone.wav" "$work/vbr.mp3"
  lame --quiet -m m -b 64 "$work/tone.wav" "$work/mono.mp3"

  local name
  for name in cancao-do-mar manha-de-sol olhos-dagua coracao-partido sabia-la-na-serra \
              ponte-aerea pe-de-moleque rio-de-janeiro-a-noite balanco-das-aguas saudade-antiga; do
    cp "$work/cbr.mp3" "$music/mpb/$name.mp3"
  done
  for name in estrada-perdida guitarra-eletrica noite-sem-fim rock-n-roll-do-interior motor-v8 \
              cidade-cinza; do
    cp "$work/vbr.mp3" "$music/rock/$name.mp3"
  done
  for name in forro-da-lua xote-das-meninas frevo-rasgado valsa-de-outono bolero-de-abril \
              samba-do-quintal; do
    cp "$work/mono.mp3" "$music/varios/$name.mp3"
  done
  cp "$work/cbr.mp3" "$music/varios/CHORINHO-MIUDO.MP3"
  cp "$work/tone.wav" "$music/varios/vinheta.wav"

  # Some files already carry tags: lame's own (ID3v1 and ID3v2) ...
  lame --quiet -b 128 --add-id3v2 --tt "Old Title" --ta "Old Artist" --tl "Old Album" --ty 1999 \
    --tn 3 --tg Rock "$work/tone.wav" "$music/rock/estrada-perdida.mp3"
  lame --quiet -b 128 --id3v1-only --tt "Noite" --ta "Banda" --ty 1985 --tg Pop \
    "$work/tone.wav" "$music/rock/noite-sem-fim.mp3"
  # ... and mid3v2's (ID3v2.4, with accents and a comment).
  mid3v2 -t "Manhã" -a "Zé da Viola" -A "Álbum Antigo" -y 2001 -T 5 -g Samba \
    -c "Gravado em São Paulo" "$music/mpb/manha-de-sol.mp3" >/dev/null
  mid3v2 -t "Forró" -a "Trio Pé-de-Serra" -g Forró "$music/varios/forro-da-lua.mp3" >/dev/null
}

make_catalogue() {
  local partial="$FDB.partial"
  local script="$DIR/.demo.sql"
  rm -f "$partial"
  local folder_mpb folder_rock folder_varios
  folder_mpb=$(sql_text "$DIR/musicas/mpb/")
  folder_rock=$(sql_text "$DIR/musicas/rock/")
  folder_varios=$(sql_text "$DIR/musicas/varios/")

  cat >"$script" <<EOF
SET SQL DIALECT 1;
CREATE DATABASE $(sql_text "$partial") USER 'SYSDBA' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;
INPUT $(sql_text "$SCRIPTS/catalogue-schema.sql");

INSERT INTO Tb_Pastas VALUES (1, $folder_mpb);
INSERT INTO Tb_Pastas VALUES (2, $folder_rock);
INSERT INTO Tb_Pastas VALUES (3, $folder_varios);
INSERT INTO Tb_Pastas VALUES (4, NULL);

INSERT INTO Tb_Genero VALUES (1, 'MPB');
INSERT INTO Tb_Genero VALUES (2, 'Samba');
INSERT INTO Tb_Genero VALUES (3, 'Rock');
INSERT INTO Tb_Genero VALUES (4, 'Forró');
INSERT INTO Tb_Genero VALUES (5, 'Bossa Nova');
INSERT INTO Tb_Genero VALUES (6, 'Axé');
INSERT INTO Tb_Genero VALUES (7, 'Pop');
INSERT INTO Tb_Genero VALUES (8, 'Instrumental');

INSERT INTO Tb_SubGenero VALUES (1, 'Samba-canção');
INSERT INTO Tb_SubGenero VALUES (2, 'Rock rural');
INSERT INTO Tb_SubGenero VALUES (3, 'Baião');
INSERT INTO Tb_SubGenero VALUES (4, 'Choro');

INSERT INTO Tb_Ritmo VALUES (1, 'Lento');
INSERT INTO Tb_Ritmo VALUES (2, 'Médio');
INSERT INTO Tb_Ritmo VALUES (3, 'Rápido');

INSERT INTO Tb_Idioma VALUES (1, 'Português');
INSERT INTO Tb_Idioma VALUES (2, 'Inglês');
INSERT INTO Tb_Idioma VALUES (3, 'Espanhol');

INSERT INTO Tb_Gravadora VALUES (1, 'Discos Aurora');
INSERT INTO Tb_Gravadora VALUES (2, 'Gravadora d''Ouro');
INSERT INTO Tb_Gravadora VALUES (3, 'Selo Independente');

INSERT INTO Tb_Vocal VALUES (1, 'Masculino');
INSERT INTO Tb_Vocal VALUES (2, 'Feminino');
INSERT INTO Tb_Vocal VALUES (3, 'Dueto');
INSERT INTO Tb_Vocal VALUES (4, 'Instrumental');

/* Mus_Codigo, Mus_Nome, Mus_Interprete, Mus_Tempo, Mus_Tipo, Mus_Album, Mus_Ano,
   Mus_Faixa, Mus_NomeCompleto, Sub_Codigo, Rit_Codigo, Voc_Codigo, Gra_Codigo,
   Idi_Codigo, Pas_Codigo, Mus_Arquivo, Mus_Compositor, Mus_TipoPeriodo,
   Mus_PeriodoInicio, Mus_PeriodoFim, Mus_Segundos, Mus_Avaliacao */
INSERT INTO Tb_Musicas VALUES (1, 'Canção do Mar', 'Maria Ângela', '03:12', 'M', 'Marés', 1998, 1, 'Maria Ângela - Canção do Mar', 1, 1, 2, 1, 1, 1, 'cancao-do-mar.mp3', 'João Têmpora', 'D', '1990', '1999', 192, 255);
INSERT INTO Tb_Musicas VALUES (2, 'Manhã de Sol', 'Zé da Viola', '02:58', 'M', 'Sertão Aberto', 2003, 2, 'Zé da Viola - Manhã de Sol', 3, 2, 1, 3, 1, 1, 'manha-de-sol.mp3', 'Zé da Viola', 'D', '2000', '2009', 178, 196);
INSERT INTO Tb_Musicas VALUES (3, 'Olhos d''Água', 'Os Caiçaras', '04:05', 'M', 'Litoral', 1987, 3, 'Os Caiçaras - Olhos d''Água', NULL, 1, 3, 2, 1, 1, 'olhos-dagua.mp3', 'Beto d''Ávila', 'D', '1980', '1989', 245, 128);
INSERT INTO Tb_Musicas VALUES (4, 'Coração Partido', 'Maria Ângela', '03:40', 'M', 'Marés', 1998, 4, 'Maria Ângela - Coração Partido', 1, 1, 2, 1, 1, 1, 'coracao-partido.mp3', 'João Têmpora', 'D', '1990', '1999', 220, 64);
INSERT INTO Tb_Musicas VALUES (5, 'Sabiá Lá na Serra', 'Trio Pé-de-Serra', '03:05', 'M', 'Baião de Dois', 1976, 1, 'Trio Pé-de-Serra - Sabiá Lá na Serra', 3, 3, 3, 3, 1, 1, 'sabia-la-na-serra.mp3', NULL, 'D', '1970', '1979', 185, NULL);
INSERT INTO Tb_Musicas VALUES (6, 'Ponte Aérea', 'Nara Lis', '02:47', 'M', NULL, NULL, NULL, 'Nara Lis - Ponte Aérea', NULL, NULL, 2, NULL, 1, 1, 'ponte-aerea.mp3', NULL, NULL, NULL, NULL, 167, NULL);
INSERT INTO Tb_Musicas VALUES (7, 'Pé-de-Moleque', 'Os Caiçaras', '03:33', 'M', 'Litoral', 1987, 7, 'Os Caiçaras - Pé-de-Moleque', 4, 3, 4, 2, 1, 1, 'pe-de-moleque.mp3', 'Beto d''Ávila', 'A', '1987', '1987', 213, 196);
INSERT INTO Tb_Musicas VALUES (8, 'Rio de Janeiro à Noite', 'Nara Lis', '05:10', 'M', 'Cidade', 1968, 1, 'Nara Lis - Rio de Janeiro à Noite', 1, 1, 2, 1, 1, 1, 'rio-de-janeiro-a-noite.mp3', 'Antônio Brisa', 'D', '1960', '1969', 310, 255);
INSERT INTO Tb_Musicas VALUES (9, 'Balanço das Águas', 'Quarteto Maré', '03:00', 'M', 'Cidade', 1968, 2, 'Quarteto Maré - Balanço das Águas', NULL, 2, 3, 1, 1, 1, 'balanco-das-aguas.mp3', 'Antônio Brisa', 'D', '1960', '1969', 180, 128);
INSERT INTO Tb_Musicas VALUES (10, 'Saudade Antiga', 'Zé da Viola', '04:20', 'M', 'Sertão Aberto', 2003, 10, 'Zé da Viola - Saudade Antiga', 3, 1, 1, 3, 1, 1, 'saudade-antiga.mp3', 'Zé da Viola', 'D', '2000', '2009', 260, 1);
INSERT INTO Tb_Musicas VALUES (11, 'Estrada Perdida', 'Motor V8', '03:50', 'M', 'Asfalto', 1994, 1, 'Motor V8 - Estrada Perdida', 2, 3, 1, 3, 1, 2, 'estrada-perdida.mp3', 'Ricardo Gás', 'D', '1990', '1999', 230, 196);
INSERT INTO Tb_Musicas VALUES (12, 'Guitarra Elétrica', 'Motor V8', '04:02', 'M', 'Asfalto', 1994, 2, 'Motor V8 - Guitarra Elétrica', NULL, 3, 1, 3, 1, 2, 'guitarra-eletrica.mp3', 'Ricardo Gás', 'D', '1990', '1999', 242, 128);
INSERT INTO Tb_Musicas VALUES (13, 'Noite Sem Fim', 'Cidade Cinza', '03:27', 'M', 'Concreto', 1985, 5, 'Cidade Cinza - Noite Sem Fim', NULL, 2, 2, NULL, 1, 2, 'noite-sem-fim.mp3', NULL, 'A', '1985', '1985', 207, NULL);
INSERT INTO Tb_Musicas VALUES (14, 'Rock ''n'' Roll do Interior', 'Motor V8', '02:45', 'M', 'Asfalto', 1994, 3, 'Motor V8 - Rock ''n'' Roll do Interior', 2, 3, 1, 3, 1, 2, 'rock-n-roll-do-interior.mp3', 'Ricardo Gás', 'D', '1990', '1999', 165, 255);
INSERT INTO Tb_Musicas VALUES (15, 'Motor V8', 'Motor V8', '03:15', 'M', 'Asfalto', 1994, 4, 'Motor V8 - Motor V8', NULL, 3, 1, 3, 2, 2, 'motor-v8.mp3', NULL, NULL, NULL, NULL, 195, 0);
INSERT INTO Tb_Musicas VALUES (16, 'Cidade Cinza', 'Cidade Cinza', '03:59', 'M', 'Concreto', 1985, 1, 'Cidade Cinza - Cidade Cinza', NULL, 2, 2, NULL, 2, 2, 'cidade-cinza.mp3', NULL, 'A', '1985', '1985', 239, 64);
INSERT INTO Tb_Musicas VALUES (17, 'Forró da Lua', 'Trio Pé-de-Serra', '02:55', 'M', 'Baião de Dois', 1976, 4, 'Trio Pé-de-Serra - Forró da Lua', 3, 3, 3, 3, 1, 3, 'forro-da-lua.mp3', NULL, 'D', '1970', '1979', 175, 196);
INSERT INTO Tb_Musicas VALUES (18, 'Xote das Meninas', 'Trio Pé-de-Serra', '03:10', 'M', 'Baião de Dois', 1976, 5, 'Trio Pé-de-Serra - Xote das Meninas', 3, 2, 3, 3, 1, 3, 'xote-das-meninas.mp3', NULL, 'D', '1970', '1979', 190, 128);
INSERT INTO Tb_Musicas VALUES (19, 'Frevo Rasgado', 'Banda Ladeira', '02:30', 'I', 'Carnaval', 2010, 1, 'Banda Ladeira - Frevo Rasgado', NULL, 3, 4, 3, NULL, 3, 'frevo-rasgado.mp3', NULL, 'A', '2010', '2010', 150, NULL);
INSERT INTO Tb_Musicas VALUES (20, 'Valsa de Outono', 'Quarteto Maré', '04:44', 'I', NULL, 1971, NULL, 'Quarteto Maré - Valsa de Outono', NULL, 1, 4, NULL, NULL, 3, 'valsa-de-outono.mp3', 'Antônio Brisa', 'D', '1970', '1979', 284, 255);
INSERT INTO Tb_Musicas VALUES (21, 'Bolero de Abril', 'Nara Lis', '03:36', 'M', 'Cidade', 1968, 6, 'Nara Lis - Bolero de Abril', NULL, 1, 2, 1, 3, 3, 'bolero-de-abril.mp3', NULL, 'D', '1960', '1969', 216, 64);
INSERT INTO Tb_Musicas VALUES (22, 'Samba do Quintal', 'Zé da Viola', '03:03', 'M', 'Sertão Aberto', 2003, 11, 'Zé da Viola - Samba do Quintal', 1, 2, 1, 3, 1, 3, 'samba-do-quintal.mp3', NULL, 'D', '2000', '2009', 183, 196);
INSERT INTO Tb_Musicas VALUES (23, 'Chorinho Miúdo', 'Regional do Beco', '02:20', 'I', 'Rodas', 1958, 1, 'Regional do Beco - Chorinho Miúdo', 4, 3, 4, 2, NULL, 3, 'CHORINHO-MIUDO.MP3', 'Pixinga Neto', 'D', '1950', '1959', 140, 128);
INSERT INTO Tb_Musicas VALUES (24, 'Vinheta', 'Rádio Aurora', '00:04', 'I', NULL, NULL, NULL, 'Rádio Aurora - Vinheta (WAV)', NULL, NULL, 4, NULL, NULL, 3, 'vinheta.wav', NULL, NULL, NULL, NULL, 4, NULL);
INSERT INTO Tb_Musicas VALUES (25, 'Não Está Aqui', 'Nara Lis', '03:00', 'M', 'Cidade', 1968, 9, 'Nara Lis - Não Está Aqui (arquivo ausente)', NULL, 1, 2, 1, 1, 1, 'nao-esta-aqui.mp3', NULL, NULL, NULL, NULL, 180, 64);
INSERT INTO Tb_Musicas VALUES (26, 'Sem Pasta', 'Os Caiçaras', '03:00', 'M', NULL, NULL, NULL, 'Os Caiçaras - Sem Pasta', NULL, NULL, NULL, NULL, NULL, 4, 'sem-pasta.mp3', NULL, NULL, NULL, NULL, NULL, NULL);
INSERT INTO Tb_Musicas VALUES (27, 'Rascunho', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 1, 'rascunho.mp3', NULL, NULL, NULL, NULL, NULL, NULL);
INSERT INTO Tb_Musicas VALUES (28, 'Não Diga Adeus', 'Maria Ângela', '03:21', 'M', 'Marés', 1998, 8, 'Maria Ângela - Não Diga Adeus', 1, 1, 2, 1, 1, NULL, 'nao-diga-adeus.mp3', 'João Têmpora', 'D', '1990', '1999', 201, 196);

/* Genres: several for some songs, none for 6, 24, 25, 26, 27 and 28. */
INSERT INTO Tb_MusicaGeneros VALUES (1, 1);
INSERT INTO Tb_MusicaGeneros VALUES (1, 5);
INSERT INTO Tb_MusicaGeneros VALUES (2, 4);
INSERT INTO Tb_MusicaGeneros VALUES (2, 1);
INSERT INTO Tb_MusicaGeneros VALUES (3, 1);
INSERT INTO Tb_MusicaGeneros VALUES (4, 1);
INSERT INTO Tb_MusicaGeneros VALUES (4, 2);
INSERT INTO Tb_MusicaGeneros VALUES (4, 5);
INSERT INTO Tb_MusicaGeneros VALUES (5, 4);
INSERT INTO Tb_MusicaGeneros VALUES (7, 2);
INSERT INTO Tb_MusicaGeneros VALUES (8, 5);
INSERT INTO Tb_MusicaGeneros VALUES (8, 1);
INSERT INTO Tb_MusicaGeneros VALUES (9, 5);
INSERT INTO Tb_MusicaGeneros VALUES (10, 1);
INSERT INTO Tb_MusicaGeneros VALUES (11, 3);
INSERT INTO Tb_MusicaGeneros VALUES (12, 3);
INSERT INTO Tb_MusicaGeneros VALUES (13, 3);
INSERT INTO Tb_MusicaGeneros VALUES (13, 7);
INSERT INTO Tb_MusicaGeneros VALUES (14, 3);
INSERT INTO Tb_MusicaGeneros VALUES (15, 3);
INSERT INTO Tb_MusicaGeneros VALUES (16, 7);
INSERT INTO Tb_MusicaGeneros VALUES (17, 4);
INSERT INTO Tb_MusicaGeneros VALUES (18, 4);
INSERT INTO Tb_MusicaGeneros VALUES (19, 6);
INSERT INTO Tb_MusicaGeneros VALUES (19, 8);
INSERT INTO Tb_MusicaGeneros VALUES (20, 8);
INSERT INTO Tb_MusicaGeneros VALUES (21, 1);
INSERT INTO Tb_MusicaGeneros VALUES (22, 2);
INSERT INTO Tb_MusicaGeneros VALUES (23, 8);
INSERT INTO Tb_MusicaGeneros VALUES (23, 2);
COMMIT;
EOF
  use_own_lock_folder_when_needed
  if ! isql-fb -q -b -ch UTF8 -i "$script" >"$DIR/.demo.log" 2>&1; then
    cat "$DIR/.demo.log" >&2
    rm -f "$partial" "$script"
    echo "Could not make the demo catalogue" >&2
    exit 1
  fi
  rm -f "$script" "$DIR/.demo.log"
  mv "$partial" "$FDB"
}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

if [ -e "$FDB" ]; then
  echo "Keeping the demo catalogue $FDB"
else
  make_files
  make_catalogue
  echo "Made the demo catalogue $FDB"
fi

if [ $# -eq 2 ]; then
  mkdir -p "$2"
  printf '[BANCO]\ncaminho=%s\n' "$FDB" >"$2/BaseZelta.ini"
  echo "Wrote $(cd "$2" && pwd)/BaseZelta.ini"
fi
