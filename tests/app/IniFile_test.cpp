// Reading the configuration value: names without regard to case, blanks,
// comments, quotes, other sections, and unreadable files.

#include <gtest/gtest.h>

#include "IniFile.h"
#include "TestSupport.h"

namespace {

TEST(IniFile, FindsTheValueOfTheRightSectionAndKey) {
  const std::string ini =
      "; comment\r\n"
      "[OUTRO]\r\ncaminho=wrong\r\n"
      "  [ Banco ]  \r\n"
      "outra=1\r\n"
      ";caminho=commented\r\n"
      "  CAMINHO  =  /data/zelta.fdb  \r\n"
      "caminho=second\r\n";
  EXPECT_EQ(FindIniValue(ini, "BANCO", "caminho", "-"), "/data/zelta.fdb");
  EXPECT_EQ(FindIniValue(ini, "banco", "OUTRA", "-"), "1");
  EXPECT_EQ(FindIniValue(ini, "BANCO", "nada", "-"), "-");
  EXPECT_EQ(FindIniValue(ini, "NADA", "caminho", "-"), "-");
  EXPECT_EQ(FindIniValue("caminho=x\n[BANCO]\n", "BANCO", "caminho", "-"), "-");
  EXPECT_EQ(FindIniValue("[BANCO]\ncaminho=\"C:\\a b\\z.fdb\"", "BANCO", "caminho", "-"), "C:\\a b\\z.fdb");
  EXPECT_EQ(FindIniValue("[BANCO]\ncaminho=host:C:\\x=y.fdb", "BANCO", "caminho", "-"), "host:C:\\x=y.fdb");
  EXPECT_EQ(FindIniValue("\xEF\xBB\xBF[BANCO]\ncaminho=a", "BANCO", "caminho", "-"), "a");
  EXPECT_EQ(FindIniValue("[BANCO\ncaminho=a", "BANCO", "caminho", "-"), "-");
  EXPECT_EQ(FindIniValue(std::string("\0\xFF[BANCO]\0=\n", 12), "BANCO", "caminho", "-"), "-");
}

TEST(IniFile, ReadsFilesAndFallsBackWhenItCannot) {
  testing_support::TempDir dir;
  const std::string path = dir.File("BaseZelta.ini");
  EXPECT_EQ(ReadIniString(path, "BANCO", "caminho", "fallback"), "fallback");
  testing_support::WriteFileBytes(path, "[BANCO]\ncaminho=/x.fdb\n");
  EXPECT_EQ(ReadIniString(path, "BANCO", "caminho", ""), "/x.fdb");
  testing_support::WriteFileBytes(path, "");
  EXPECT_EQ(ReadIniString(path, "BANCO", "caminho", "fallback"), "fallback");
  EXPECT_EQ(ReadIniString(dir.Path(), "BANCO", "caminho", "fallback"), "fallback");
}

}  // namespace
