// Line assembly on an empty ring and on a ring holding a full tick, and the data file format of
// a full store.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "datafile/data_file.h"
#include "store/line_store.h"
#include "tests/common/timing_printout.h"

namespace tessun {
namespace {

// The most one tick can store: 40 reports of 7 bytes.
constexpr std::size_t kFullTick = 280;

void BM_AssembleLinesEmptyRing(benchmark::State& state) {
  LineStore store;
  for (auto _ : state) {
    store.AssembleLines();
    benchmark::DoNotOptimize(store.NewData);
  }
}
BENCHMARK(BM_AssembleLinesEmptyRing);

void BM_AssembleLinesFullTick(benchmark::State& state) {
  const std::string printout = soak::TimingPrintout(1 << 20);
  std::size_t at = 0;
  LineStore store;
  for (auto _ : state) {
    // Untimed: 280 bytes stored the way a tick stores them.
    if (at + kFullTick > printout.size()) {
      at = 0;
    }
    for (std::size_t i = 0; i < kFullTick; ++i) {
      store.StoreByte(static_cast<std::uint8_t>(printout[at + i]));
    }
    at += kFullTick;
    if (store.LineIndex >= 900) {
      store.EmptyLines();
    }
    const auto start = std::chrono::steady_clock::now();
    store.AssembleLines();
    const auto stop = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(store.Lines[static_cast<std::size_t>(store.LineIndex)].data());
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFullTick));
}
BENCHMARK(BM_AssembleLinesFullTick)->UseManualTime();

// 1001 lines of 80 characters.
void FillStore(LineStore& store) {
  const std::string printout = soak::TimingPrintout(200'000);
  for (std::size_t i = 0; i < store.Lines.size(); ++i) {
    store.Lines[i] = printout.substr(i * 80 % (printout.size() - 80), 80);
    for (char& c : store.Lines[i]) {
      if (c < 32 || c > 122) {
        c = ' ';
      }
    }
  }
  store.LineIndex = LineStore::kLastLine;
}

void BM_FormatDataFileFullStore(benchmark::State& state) {
  LineStore store;
  FillStore(store);
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string bytes = FormatDataFile("TessunData.txt", "01-02-2024", "12:00:00", store);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_FormatDataFileFullStore);

// Format and write with the standard library (the save window's own write, through a save file,
// is in bench_window).
void BM_WriteFullStoreToFile(benchmark::State& state) {
  LineStore store;
  FillStore(store);
  const auto path = std::filesystem::temp_directory_path() / "tessun_bench_store.txt";
  for (auto _ : state) {
    const std::string bytes = FormatDataFile("TessunData.txt", "01-02-2024", "12:00:00", store);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
      state.SkipWithError("write failed");
      break;
    }
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteFullStoreToFile);

}  // namespace
}  // namespace tessun

BENCHMARK_MAIN();
