// Cost of the kit's log calls: one filtered out by its level, one written to a file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gravel/edge_base.h>

namespace {

// A work dir whose log configuration writes INFO and above of the kit's category to a file.
class LogWorkDir {
public:
    LogWorkDir() {
        char tmpl[] = "/tmp/gravel-bench-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::filesystem::create_directories(dir_ + "/conf");
        std::ofstream(dir_ + "/conf/rootcert.pem") << "placeholder\n";
        std::ofstream(dir_ + "/conf/sdk_log.conf")
            << "[formats]\nline = \"%d(%F %T).%ms %-5V [%f:%L] %m%n\"\n[rules]\nsdk_rule.INFO \"" << dir_
            << "/sdk.log\"; line\n";
        ok_ = edge_base_init(dir_.c_str(), "bench") == EDGE_OK;
    }
    ~LogWorkDir() {
        edge_base_destroy();
        std::filesystem::remove_all(dir_);
    }
    bool ok() const { return ok_; }

private:
    std::string dir_;
    bool ok_ = false;
};

void BM_LogFilteredOut(benchmark::State &state) {
    LogWorkDir work;
    if (!work.ok()) {
        state.SkipWithError("edge_base_init failed");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        EDGE_LOG_DEBUG("filtered message %d of %s", ++i, "bench");
    }
    benchmark::DoNotOptimize(i);
}
BENCHMARK(BM_LogFilteredOut);

void BM_LogLineToFile(benchmark::State &state) {
    LogWorkDir work;
    if (!work.ok()) {
        state.SkipWithError("edge_base_init failed");
        return;
    }
    int i = 0;
    for (auto _ : state) {
        EDGE_LOG_INFO("retry worker:%s wait for %ds and start %d try", "edge_mqtt_connections", 8, ++i);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogLineToFile);

}  // namespace
