// Runs the built qb2fw on small files and checks what it tells and its exit value.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct ToolRun {
  int exit;
  std::string out;
};

ToolRun Qb2fw(const std::string& args) {
  ToolRun r{-1, ""};
  FILE* p = popen((std::string("'") + QB2FW_PATH + "' " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
  const int status = pclose(p);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = testing::TempDir() + "qb2fw_" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

#define EXPECT_HAS(out, text) EXPECT_NE((out).find(text), std::string::npos) << (out)

const std::string kFile =
    "S00600004844521B\r\n"
    "S1130000000102030405060708090A0B0C0D0E0F74\r\n"     // below 0x3000
    "S1133010010101010101010101010101010101019C\r\n"     // 16 x 0x01 at 0x3010
    "S107400011223344FF\r\n"                             // 0x4000: never sent, wrong checksum
    "S208010000556677883C\r\n"                           // past 0xFFFF
    "S9030000FC\r\n";

TEST(Qb2fw, ReportsAnAcceptedFile) {
  const ToolRun r = Qb2fw("check '" + Write("good.mot", kFile) + "'");
  EXPECT_EQ(r.exit, 0);
  EXPECT_HAS(r.out, "End record: S9 at line 6. The download accepts this file.");
  EXPECT_HAS(r.out, "Reading: the whole file, 6 lines.");
  EXPECT_HAS(r.out, "1    3000-33FF  0A    3010-301F  1\n         3000:A0\n");
  EXPECT_HAS(r.out, "2    3400-37FF  0B    -          0 (not erased)");
  EXPECT_HAS(r.out, "Pages to write: 1");
  EXPECT_HAS(r.out, "line 2 0000-000F (16 bytes)");
  EXPECT_HAS(r.out, "4000-4003 (4 bytes)");
  EXPECT_HAS(r.out, "line 5 010000-010003 (4 bytes)");
  EXPECT_HAS(r.out, "Wrong checksums (the records are used all the same): lines 4\n");
}

TEST(Qb2fw, ReportsWhereAndWhyTheReadingStopped) {
  std::string text = kFile;
  text.insert(text.find("S107"), "\r\n");
  const ToolRun r = Qb2fw("'" + Write("stop.mot", text) + "'");
  EXPECT_EQ(r.exit, 1);
  EXPECT_HAS(r.out, "End record: none read. The download refuses this file");
  EXPECT_HAS(r.out, "Reading stopped at line 4: empty line.");
  EXPECT_HAS(r.out, "3 more lines, 3 of them beginning with \"S\"");
  const ToolRun hex = Qb2fw("'" + Write("hex.mot", "S1033000CC\n:10300000\n") + "'");
  EXPECT_HAS(hex.out, "Reading stopped at line 2: Intel HEX line");
}

TEST(Qb2fw, WritesTheImage) {
  const std::string out = testing::TempDir() + "qb2fw_image.bin";
  for (int withEnd = 1; withEnd >= 0; --withEnd) {
    std::remove(out.c_str());
    const std::string text = withEnd ? kFile : kFile.substr(0, kFile.find("S9"));
    EXPECT_EQ(Qb2fw("image '" + Write("image.mot", text) + "' '" + out + "'").exit, withEnd ? 0 : 1);
    std::ifstream in(out, std::ios::binary);
    const std::vector<unsigned char> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(image.size(), 65536u);
    EXPECT_EQ(image[0x0000], 0xFF);
    EXPECT_EQ(image[0x300F], 0xFF);
    EXPECT_EQ(image[0x3010], 0x01);
    EXPECT_EQ(image[0x4003], 0x44);
  }
}

TEST(Qb2fw, UsageAndMissingFiles) {
  EXPECT_EQ(Qb2fw("").exit, 2);
  EXPECT_EQ(Qb2fw("image only-one-arg").exit, 2);
  const ToolRun help = Qb2fw("--help");
  EXPECT_EQ(help.exit, 0);
  EXPECT_HAS(help.out, "usage: qb2fw");
  const ToolRun missing = Qb2fw("'" + testing::TempDir() + "qb2fw_no_such.mot'");
  EXPECT_EQ(missing.exit, 1);
  EXPECT_HAS(missing.out, "cannot open");
}

}  // namespace
