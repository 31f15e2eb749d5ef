// What the provider costs as machines grow: first scan, quiet rescan, a logical drive
// created and deleted, the FT pass and the registry rebuild; and sfdisk reading the
// same images for comparison.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "machine.h"
#include "machines.h"
#include "provider.h"
#include "zmhost.h"

namespace {

using bench::Costs;
using bench::Shape;

// One machine is booted at a time; benchmarks of the same shape share it.
struct Current {
  Shape shape{0, 0, 0};
  std::string dir;
  ZM_HANDLE provider = nullptr;
} current;

bool SameShape(const Shape& a, const Shape& b) {
  return a.disks == b.disks && a.logicals == b.logicals && a.ftSets == b.ftSets;
}

void Release() {
  if (current.provider != nullptr) bench::StopHost();
  current.provider = nullptr;
  if (ntp::IsBooted()) ntp::Shutdown();
  current.shape = Shape{0, 0, 0};
}

bool Ensure(benchmark::State& state, const Shape& shape, bool withHost) {
  std::string error;
  if (!SameShape(current.shape, shape) || !ntp::IsBooted()) {
    Release();
    current.dir = bench::MachineFor(shape);
    if (current.dir.empty() || !bench::BootMachine(current.dir, shape, &error)) {
      state.SkipWithError(("cannot boot the machine: " + error).c_str());
      return false;
    }
    current.shape = shape;
  }
  if (withHost && current.provider == nullptr) {
    current.provider = bench::StartHost(&error);
    if (current.provider == nullptr) {
      state.SkipWithError(("cannot start the provider: " + error).c_str());
      return false;
    }
  }
  if (!withHost && current.provider != nullptr) {
    bench::StopHost();
    current.provider = nullptr;
  }
  return true;
}

void Report(benchmark::State& state, const Costs& total) {
  using C = benchmark::Counter;
  state.counters["host_calls"] = C(double(total.hostCalls), C::kAvgIterations);
  state.counters["sect_read"] = C(double(total.sectorsRead), C::kAvgIterations);
  state.counters["sect_written"] = C(double(total.sectorsWritten), C::kAvgIterations);
  // Process CPU in ms per iteration: the notifier thread's deliveries included.
  state.counters["cpu_ms"] = C(total.cpuSeconds * 1e3, C::kAvgIterations);
  state.counters["peak_rss_KiB"] = double(bench::PeakRssKiB());
}

Costs Add(const Costs& a, const Costs& b) {
  return {a.hostCalls + b.hostCalls, a.sectorsRead + b.sectorsRead, a.sectorsWritten + b.sectorsWritten,
          a.cpuSeconds + b.cpuSeconds};
}

void FirstScan(benchmark::State& state) {
  Shape shape{unsigned(state.range(0)), unsigned(state.range(1)), 0};
  if (!Ensure(state, shape, false)) return;
  Costs total;
  std::string error;
  for (auto _ : state) {
    Costs before = bench::Snapshot(shape.disks);
    current.provider = bench::StartHost(&error);
    Costs after = bench::Snapshot(shape.disks);
    state.PauseTiming();
    if (current.provider == nullptr) {
      state.SkipWithError(error.c_str());
      break;
    }
    total = Add(total, after - before);
    bench::StopHost();
    current.provider = nullptr;
    state.ResumeTiming();
  }
  Report(state, total);
}

void QuietRescan(benchmark::State& state) {
  Shape shape{unsigned(state.range(0)), unsigned(state.range(1)), 0};
  if (!Ensure(state, shape, true)) return;
  Costs total;
  uint64_t objectsChanged = 0;
  for (auto _ : state) {
    Costs before = bench::Snapshot(shape.disks);
    uint64_t changes = zm::CallCount("ObCreateObject") + zm::CallCount("ObDeleteObject");
    ZM_OBJECT_ID rid = 0;
    ZMSTATUS s = zm::Control(current.provider, 0, OPCLASS_LAYOUT, OP_REFRESH, nullptr, nullptr, &rid);
    zm::WaitIdle();
    if (ZM_FAILED(s)) {
      state.SkipWithError("the refresh failed");
      break;
    }
    objectsChanged += zm::CallCount("ObCreateObject") + zm::CallCount("ObDeleteObject") - changes;
    total = Add(total, bench::Snapshot(shape.disks) - before);
  }
  Report(state, total);
  state.counters["objects_changed"] = double(objectsChanged);
}

ZM_OBJECT_ID FindMemberId(ZM_PROPSET out) {
  ZM_PROPERTY* r = nullptr;
  ZM_OBJECT_ID id = 0;
  if (!ZM_FAILED(PsFindProperty(out, "MEMBERID", &r)) && r != nullptr && r->Size == 8)
    id = *static_cast<ZM_OBJECT_ID*>(r->Value);
  if (r != nullptr) _ZmFree(r, __FILE__, __LINE__);
  return id;
}

void CreateDeleteLogical(benchmark::State& state) {
  Shape shape{1, unsigned(state.range(0)), 0};
  if (!Ensure(state, shape, true)) return;
  ZM_OBJECT_ID disk = 0;
  {
    uint32_t count = 0;
    ZM_OBJECT_ID* ids = nullptr;
    if (!ZM_FAILED(DbGetObjects(zm::Database(), ZM_OBJ_DISK, &count, &ids)) && count > 0) disk = ids[0];
    if (ids != nullptr) _ZmFree(ids, __FILE__, __LINE__);
  }
  Costs total;
  const uint64_t offset = 6 * bench::kCylinder + uint64_t(shape.logicals) * bench::kCylinder;
  for (auto _ : state) {
    Costs before = bench::Snapshot(1);
    ZM_PROPSET in = nullptr, out = nullptr;
    PsCreatePropset(&in);
    PsCreatePropset(&out);
    uint64_t off = offset, len = 2 * bench::kCylinder;
    uint32_t type = 3;  // logical drive
    ZM_PROPERTY p1{"OFFSET_LL", ZM_TYPE_UINT64, 0, 8, &off};
    ZM_PROPERTY p2{"LENGTH_LL", ZM_TYPE_UINT64, 0, 8, &len};
    ZM_PROPERTY p3{"REGION_TYPE", ZM_TYPE_UINT32, 0, 4, &type};
    PsAddProperty(in, &p1);
    PsAddProperty(in, &p2);
    PsAddProperty(in, &p3);
    ZM_OBJECT_ID rid = 0;
    ZMSTATUS s = zm::Control(current.provider, disk, OPCLASS_LAYOUT, OP_CREATE_PARTITION, in, out, &rid);
    ZM_OBJECT_ID volume = FindMemberId(out);
    PsDestroyPropset(in);
    PsDestroyPropset(out);
    if (ZM_FAILED(s) || volume == 0) {
      char text[64];
      std::snprintf(text, sizeof text, "create failed (0x%08X)", s);
      state.SkipWithError(text);
      break;
    }
    s = zm::Control(current.provider, volume, OPCLASS_LAYOUT, OP_DELETE_PARTITION, nullptr, nullptr, &rid);
    zm::WaitIdle();
    if (ZM_FAILED(s)) {
      state.SkipWithError("delete failed");
      break;
    }
    total = Add(total, bench::Snapshot(1) - before);
  }
  Report(state, total);
}

void FtPass(benchmark::State& state) {
  Shape shape{32, 16, unsigned(state.range(0))};
  if (!Ensure(state, shape, true)) return;
  Costs total;
  ZM_HANDLE prov = current.provider;
  for (auto _ : state) {
    Costs before = bench::Snapshot(shape.disks);
    DbLockDatabase(prov);
    ZMSTATUS s = AddFtObjectsToDatabase();
    DbUnlockDatabase(prov);
    if (ZM_FAILED(s)) {
      state.SkipWithError("AddFtObjectsToDatabase failed");
      break;
    }
    total = Add(total, bench::Snapshot(shape.disks) - before);
  }
  Report(state, total);
  uint32_t count = 0;
  ZM_OBJECT_ID* ids = nullptr;
  DbGetObjects(zm::Database(), ZM_OBJ_VOLUME, &count, &ids);
  if (ids != nullptr) _ZmFree(ids, __FILE__, __LINE__);
  state.counters["volumes"] = double(count);
}

void RegistryRebuild(benchmark::State& state) {
  Shape shape{32, 16, unsigned(state.range(0))};
  if (!Ensure(state, shape, true)) return;
  const std::vector<uint8_t> good = bench::StoredBlob();
  const std::vector<uint8_t> stale = bench::StaleBlob(shape);
  Costs total;
  uint64_t rebuilt = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::StoreBlob(stale);
    state.ResumeTiming();
    Costs before = bench::Snapshot(shape.disks);
    DbLockDatabase(current.provider);
    UpdateRegistry();
    DbUnlockDatabase(current.provider);
    total = Add(total, bench::Snapshot(shape.disks) - before);
    state.PauseTiming();
    if (bench::StoredBlob() != stale) ++rebuilt;
    state.ResumeTiming();
  }
  bench::StoreBlob(good);
  Report(state, total);
  state.counters["rebuilt"] = double(rebuilt);
}

// sfdisk reading every image of the machine, one process per image.
void SfdiskJson(benchmark::State& state) {
  Shape shape{unsigned(state.range(0)), unsigned(state.range(1)), 0};
  if (!Ensure(state, shape, false)) return;
  std::vector<std::string> images;
  for (const ntp::DiskInfo& d : ntp::Disks()) {
    ntp::MachineConfig config;
    std::string error;
    ntp::LoadMachineConfig(current.dir, &config, &error);
    std::string image = config.disks[d.index].image;
    if (image.empty() || image[0] != '/') image = current.dir + "/" + image;
    images.push_back(image);
  }
  auto childCpu = [] {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  double before = childCpu();
  for (auto _ : state)
    for (const std::string& image : images) {
      std::string command = "sfdisk --json '" + image + "' >/dev/null 2>&1";
      if (std::system(command.c_str()) != 0) {
        state.SkipWithError("sfdisk failed");
        return;
      }
    }
  // CPU of the sfdisk processes (and their shells), per iteration.
  state.counters["cpu_ms"] =
      benchmark::Counter((childCpu() - before) * 1e3, benchmark::Counter::kAvgIterations);
}

void ScanShapes(benchmark::internal::Benchmark* b) {
  for (int disks : {1, 8, 32, 128})
    for (int logicals : {4, 16, 60}) b->Args({disks, logicals});
}

BENCHMARK(FirstScan)->Apply(ScanShapes)->Unit(benchmark::kMillisecond)->MinTime(0.2);
BENCHMARK(QuietRescan)->Apply(ScanShapes)->Unit(benchmark::kMillisecond)->MinTime(0.2);
BENCHMARK(CreateDeleteLogical)->Arg(4)->Arg(16)->Arg(60)->Unit(benchmark::kMillisecond)->MinTime(0.2);
BENCHMARK(FtPass)->Arg(1)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond)->MinTime(0.2);
BENCHMARK(RegistryRebuild)->Arg(1)->Arg(16)->Arg(128)->Unit(benchmark::kMillisecond)->MinTime(0.2);
BENCHMARK(SfdiskJson)->Args({32, 16})->Unit(benchmark::kMillisecond)->MinTime(0.2);

// Prints the first scan and sfdisk over the same 32 images side by side at the end.
class SideBySide : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto scan = times_.find("FirstScan/32/16/min_time:0.200");
    auto sfdisk = times_.find("SfdiskJson/32/16/min_time:0.200");
    if (scan != times_.end() && sfdisk != times_.end())
      std::printf(
          "\n32 disks x (3 primaries + 16 logical drives): first scan %.2f ms, sfdisk --json %.2f ms\n",
          scan->second, sfdisk->second);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SideBySide console;
  benchmark::RunSpecifiedBenchmarks(&console);
  Release();
  benchmark::Shutdown();
  return 0;
}
