// The line's database from a station's side: how long a claim that takes a new
// lease (a station's whole lease at once, so each claim goes to the server) and the
// insert of one run line take, each timed over ROUNDS tries in the current folder
// (its QB2BENCH.INI gets the lease). Prints the median, the 90th percentile and the
// longest in milliseconds. A figure, not a test (tools/bench/figure-db.sh).
//
//   db_bench CONNECTION [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "operator/outlets.h"
#include "operator/program.h"
#include "record/line_record.h"

namespace {
void Say(const char* text) { std::fprintf(stderr, "%s\n", text); }
void Warn(const char* text, const char*) { Say(text); }
void Post(unsigned) {}
void Command(int) {}
const OperatorOutlets kOutlets = {Say, Say, Warn, nullptr, Post, Command, nullptr};

double Ms(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
}
void Print(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-34s median %7.2f ms   p90 %7.2f ms   max %7.2f ms   (%zu tries)\n", what, ms[ms.size() / 2],
              ms[ms.size() * 9 / 10], ms.back(), ms.size());
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: db_bench CONNECTION [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  ProgramKind = kCliProgram;
  InstallOutlets(&kOutlets);
  static RecordSettings s;
  s.database = argv[1];
  s.station = "bench";
  s.leaseSize = 100;
  InstallLineRecord(&kDatabaseRecord, &s);
  std::string why;
  if (CheckRecord(&why) != RECORD_OK || !why.empty()) {
    std::fprintf(stderr, "db_bench: %s\n", why.c_str());
    return 1;
  }
  std::vector<double> claims, inserts;
  for (int i = 0; i < rounds; ++i) {
    std::vector<int32_t> numbers;
    auto t = std::chrono::steady_clock::now();
    if (ClaimSerials(s.leaseSize, &numbers, &why) != RECORD_OK) {
      std::fprintf(stderr, "db_bench: %s\n", why.c_str());
      return 1;
    }
    claims.push_back(Ms(t));
  }
  RunRecord r;
  r.operation = "production";
  r.serial = "00000001";
  r.file = "Quillbeacon2FlashData.dat";
  r.bytes = 65536;
  r.hasCrc = r.hasImageCrc = true;
  r.result = "OK";
  r.ms = 21900;
  for (int i = 0; i < rounds; ++i) {
    auto t = std::chrono::steady_clock::now();
    RecordRun(r, "", "COM7");  // no CSV: the insert alone
    inserts.push_back(Ms(t));
  }
  Print("claim of a new lease (100 numbers)", claims);
  Print("insert of a run line", inserts);
  return 0;
}
