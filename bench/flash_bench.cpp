// What a whole update costs: a 128 KiB image flashed through the dialog model into the
// in-process simulated controllers, both families.
//
//   BM_Instant/*  the controller answers at once: all the time measured is the engine's own
//                 (flow, framing, link, dialog calls), given per report on the link.
//   BM_Paced/*    one report per 1 ms USB frame each way (the "slow" fault) on the virtual
//                 clock: the virtual duration of the update against the least the exchange
//                 allows for this image, and their ratio.
//
// Run (an optimised build without sanitizers; figures only, nothing here passes or fails on time):
//   cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANT_WITH_QT=OFF
//   cmake --build build -j2 --target korvant-bench && build/bench/korvant-bench
#include "app/dialog_view.h"
#include "app/update_dlg.h"
#include "base/le.h"
#include "base/virtual_clock.h"
#include "image/firmware_image.h"
#include "sim/sim_hid_platform.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kImageSize = 128 * 1024;
constexpr uint32_t kImageAddress = 0x08004000;
constexpr uint16_t kImageVersion = 106;

// Sizes of the exchanges, for the least time a paced link allows.
constexpr uint32_t kFramedPiece = 32;
constexpr uint32_t kCommandBlock = 46;
constexpr uint32_t kEraseFirstWaitMs = 1000;

// A window nobody sees: every control call is dropped, the file dialog returns the image,
// every question is answered OK, and the end of the worker is a signal to the bench.
class HeadlessView final : public IDialogView {
public:
    explicit HeadlessView(std::string image) : m_image(std::move(image)) {}

    IButton& UpdateButton() override { return m_button; }
    IProgressBar& Progress() override { return m_progress; }
    ILabel& DoneLabel() override { return m_label; }
    ILabel& InfoLabel() override { return m_label; }
    void SetWindowText(const std::string&) override {}
    MsgBoxResult MessageBox(const std::string&, const std::string&, MsgBoxType) override { return MsgBoxResult::kOk; }
    std::optional<std::string> OpenFileDialog(const FileFilter&, const std::optional<std::string>&) override
    {
        return m_image;
    }
    void PostUpdateEnded() override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ended = true;
        m_cv.notify_all();
    }
    // False when the worker has not ended within the limit (a hang, not a slow run).
    bool WaitEnded(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        const bool ended = m_cv.wait_for(lock, limit, [this] { return m_ended; });
        m_ended = false;
        return ended;
    }

private:
    struct : IButton {
        void EnableWindow(bool) override {}
        void SetWindowText(const std::string&) override {}
    } m_button;
    struct : IProgressBar {
        void SetRange(int, int) override {}
        void SetPos(int) override {}
    } m_progress;
    struct : ILabel {
        void ShowWindow(bool) override {}
        void SetWindowText(const std::string&) override {}
    } m_label;
    std::string m_image;
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_ended = false;
};

struct Image {
    std::string path;
    std::vector<uint8_t> payload;
};

// One image for the whole run, in the temporary directory, removed at exit.
const Image& BenchImage()
{
    static const Image image = [] {
        Image i;
        i.path = (std::filesystem::temp_directory_path() / ("korvant-bench-" + std::to_string(::getpid()) + ".dat")).string();
        i.payload.resize(kImageSize);
        uint32_t x = 12345;
        for (uint8_t& b : i.payload) {
            x = x * 1103515245u + 12345u;
            b = uint8_t(x >> 16);
        }
        uint8_t header[IMAGE_HEADER_SIZE] = {};
        StoreLe16(header + IMAGE_OFFSET_VERSION, kImageVersion);
        StoreLe32(header + IMAGE_OFFSET_ADDRESS, kImageAddress);
        StoreLe32(header + IMAGE_OFFSET_SIZE, kImageSize);
        StoreLe16(header + IMAGE_OFFSET_REVISION, 1);
        std::ofstream f(i.path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(header), sizeof header);
        f.write(reinterpret_cast<const char*>(i.payload.data()), std::streamsize(i.payload.size()));
        std::atexit([] { std::filesystem::remove(BenchImage().path); });
        return i;
    }();
    return image;
}

uint64_t ProcessCpuNs()
{
    timespec t;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

struct UpdateRun {
    bool ok = false;
    std::string problem;
    double wall_ns = 0;
    double cpu_ns = 0;
    uint64_t virtual_ms = 0;
    uint64_t reports = 0;   // written and read, on the controller's link
    uint64_t writes = 0;    // one per exchange: every command or message the tool sent
    uint64_t timeouts = 0;  // reads that found nothing in time
};

// One whole update, from the click to the worker's end, on a fresh dialog and controller.
UpdateRun RunUpdate(SimFamily family, bool paced)
{
    const Image& image = BenchImage();
    VirtualClock clock;
    SimHidPlatform platform(clock);
    SimControllerOptions options;
    options.faults.slow = paced;
    const std::string path = platform.Attach(MakeController(family, options));
    HeadlessView view(image.path);
    CUpdateDlg dlg(view, platform, clock, nullptr);
    dlg.OnInitDialog();

    UpdateRun run;
    const uint64_t reportsBefore = platform.WriteCount(path) + platform.ReadCount(path);
    const uint64_t writesBefore = platform.WriteCount(path);
    const uint64_t timeoutsBefore = platform.ReadTimeoutCount(path);
    const uint64_t virtualStart = clock.NowMs();
    const uint64_t cpuStart = ProcessCpuNs();
    const auto wallStart = std::chrono::steady_clock::now();
    dlg.OnBnClickedUsbUpdate();
    const bool ended = view.WaitEnded(std::chrono::seconds(120));
    run.wall_ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - wallStart).count());
    run.cpu_ns = double(ProcessCpuNs() - cpuStart);
    run.virtual_ms = clock.NowMs() - virtualStart;
    if (!ended) {
        run.problem = "the update did not end";
        return run; // the dialog's destructor stops and joins the worker
    }
    dlg.OnUpdateThreadEnded();
    run.reports = platform.WriteCount(path) + platform.ReadCount(path) - reportsBefore;
    run.writes = platform.WriteCount(path) - writesBefore;
    run.timeouts = platform.ReadTimeoutCount(path) - timeoutsBefore;

    SimController& c = *platform.Controller(path);
    if (dlg.LastOutcome() != UpdateOutcome::kSuccess) run.problem = "the update failed";
    else if (!c.ProtocolErrors().empty()) run.problem = "protocol error: " + c.ProtocolErrors().front();
    else if (c.ReceivedImage() != image.payload) run.problem = "the controller holds another image";
    run.ok = run.problem.empty();
    return run;
}

uint32_t CeilDiv(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

// The erase's fixed wait: the part of an update that no link speed shortens.
uint64_t FixedWaitMs(SimFamily family) { return family == SimFamily::kCommand ? kEraseFirstWaitMs : 0; }

// The least virtual time a full-speed link allows for the image, in frames of 1 ms: every
// exchange is one report out in one frame and one report back in the next, and the erase
// adds its fixed wait.
uint64_t ExchangeBoundMs(SimFamily family)
{
    if (family == SimFamily::kFramed) {
        // start/identity, header/first request, piece/next request each, then the end message.
        return 2 + 2 + 2ull * CeilDiv(kImageSize, kFramedPiece) + 1;
    }
    // erase and its acknowledgement (read after the fixed wait), the blocks, record, finish.
    return 2 + kEraseFirstWaitMs + 2ull * CeilDiv(kImageSize, kCommandBlock) + 2 + 2;
}

void BM_Instant(benchmark::State& state, SimFamily family)
{
    double wall = 0, cpu = 0;
    uint64_t reports = 0;
    for (auto _ : state) {
        const UpdateRun run = RunUpdate(family, false);
        if (!run.ok) {
            state.SkipWithError(run.problem.c_str());
            return;
        }
        state.SetIterationTime(run.wall_ns / 1e9);
        wall += run.wall_ns;
        cpu += run.cpu_ns;
        reports += run.reports;
    }
    const double n = double(state.iterations());
    state.counters["reports"] = double(reports) / n;
    state.counters["wall_ns/report"] = wall / double(reports);
    state.counters["cpu_ns/report"] = cpu / double(reports);
    state.SetBytesProcessed(int64_t(n) * kImageSize);
}

void BM_Paced(benchmark::State& state, SimFamily family)
{
    UpdateRun last;
    for (auto _ : state) {
        last = RunUpdate(family, true);
        if (!last.ok) {
            state.SkipWithError(last.problem.c_str());
            return;
        }
        state.SetIterationTime(last.wall_ns / 1e9);
    }
    // Virtual time does not vary between runs: the last one stands for all.
    const uint64_t bound = ExchangeBoundMs(family);
    state.counters["virtual_ms"] = double(last.virtual_ms);
    state.counters["bound_ms"] = double(bound);
    state.counters["ratio"] = double(last.virtual_ms) / double(bound);
    state.counters["reports"] = double(last.reports);
    state.counters["read_timeouts"] = double(last.timeouts);
    // What one exchange cost on the link, the fixed wait taken out: 2 frames where the
    // simulator models a reply arriving in the frame after its request.
    state.counters["ms/exchange"] = double(last.virtual_ms - FixedWaitMs(family)) / double(last.writes);
}

BENCHMARK_CAPTURE(BM_Instant, framed, SimFamily::kFramed)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Instant, command, SimFamily::kCommand)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Paced, framed, SimFamily::kFramed)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Paced, command, SimFamily::kCommand)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
