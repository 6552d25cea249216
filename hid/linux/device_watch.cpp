#include "hid/linux/device_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kArrivalMask = IN_CREATE | IN_ATTRIB | IN_MOVED_TO;
constexpr uint32_t kRemovalMask = IN_DELETE | IN_MOVED_FROM;

int KindIndex(DeviceNotice notice)
{
    switch (notice) {
    case DeviceNotice::kArrival: return 0;
    case DeviceNotice::kRemoval: return 1;
    case DeviceNotice::kNodesChanged: break;
    }
    return 2;
}

constexpr DeviceNotice kKindOf[] = {DeviceNotice::kArrival, DeviceNotice::kRemoval, DeviceNotice::kNodesChanged};

struct WatchState;
// The watch whose thread this is, if any. Set and read on that thread alone, so a watch
// destroyed from inside its own notice can tell without touching another thread's data.
thread_local const WatchState* t_runningWatch = nullptr;

// The descriptors and the callback outlive the watch object when its destructor runs on
// the watch thread itself (an owner dropped from inside a notice); the thread holds them.
struct WatchState {
    int inotify_fd = -1;
    int wake_fd = -1;
    uint32_t window_ms = 0;
    std::function<void(DeviceNotice)> on_notice;
    std::atomic<bool> stop{false};

    ~WatchState()
    {
        if (inotify_fd >= 0) ::close(inotify_fd);
        if (wake_fd >= 0) ::close(wake_fd);
    }
};

// Reads what inotify has queued into the burst. False when the descriptor broke.
bool DrainEvents(WatchState& state, NoticeBurst& burst)
{
    alignas(inotify_event) char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(state.inotify_fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN;
        }
        if (n == 0) return false;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            at += ssize_t(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                // Events were lost: which nodes changed is unknown, so say only that some did.
                burst.Add(DeviceNotice::kNodesChanged);
                continue;
            }
            if (ev->len == 0 || (ev->mask & IN_ISDIR)) continue;
            if (!IsHidrawNodeName(ev->name)) continue;
            if (ev->mask & kRemovalMask) burst.Add(DeviceNotice::kRemoval);
            else if (ev->mask & kArrivalMask) burst.Add(DeviceNotice::kArrival);
        }
    }
}

void RunWatch(const std::shared_ptr<WatchState>& state)
{
    t_runningWatch = state.get();
    NoticeBurst burst;
    Clock::time_point burstEnd{};
    while (!state->stop.load()) {
        int wait = -1;
        if (!burst.Empty()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(burstEnd - Clock::now()).count();
            wait = left <= 0 ? 0 : int(std::min<long long>(left, INT_MAX));
        }
        pollfd fds[2] = {{state->wake_fd, POLLIN, 0}, {state->inotify_fd, POLLIN, 0}};
        const int r = ::poll(fds, 2, wait);
        if (r < 0 && errno != EINTR) return;
        if (state->stop.load()) return;
        if (r > 0 && (fds[0].revents & POLLIN)) return;
        if (r > 0 && fds[1].revents) {
            const bool wasEmpty = burst.Empty();
            if (!DrainEvents(*state, burst)) return;
            if (wasEmpty && !burst.Empty()) burstEnd = Clock::now() + std::chrono::milliseconds(state->window_ms);
        }
        if (!burst.Empty() && Clock::now() >= burstEnd) {
            for (DeviceNotice notice : burst.Take()) {
                if (state->stop.load()) return;
                state->on_notice(notice);
            }
        }
    }
}

class InotifyWatch final : public IDeviceWatch {
public:
    explicit InotifyWatch(std::shared_ptr<WatchState> state) : m_state(std::move(state)), m_thread(RunWatch, m_state) {}

    ~InotifyWatch() override
    {
        m_state->stop = true;
        const uint64_t one = 1;
        // A full eventfd counter would fail the write, but then it is readable already.
        while (::write(m_state->wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        if (t_runningWatch == m_state.get()) {
            // Destroyed from inside a notice: the thread ends as soon as that call returns
            // and, holding the state, touches nothing of this object.
            m_thread.detach();
        } else {
            m_thread.join();
        }
    }

private:
    std::shared_ptr<WatchState> m_state;
    std::thread m_thread;
};

} // namespace

void NoticeBurst::Add(DeviceNotice notice)
{
    m_last[KindIndex(notice)] = ++m_next;
}

std::vector<DeviceNotice> NoticeBurst::Take()
{
    int order[kKinds] = {0, 1, 2};
    std::sort(order, order + kKinds, [this](int a, int b) { return m_last[a] < m_last[b]; });
    std::vector<DeviceNotice> notices;
    for (int kind : order)
        if (m_last[kind]) notices.push_back(kKindOf[kind]);
    std::fill(m_last, m_last + kKinds, 0);
    m_next = 0;
    return notices;
}

bool IsHidrawNodeName(const std::string& name)
{
    static const std::string kPrefix = "hidraw";
    if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    return std::all_of(name.begin() + long(kPrefix.size()), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::unique_ptr<IDeviceWatch> WatchHidrawNodes(const std::string& dev_dir, std::function<void(DeviceNotice)> on_notice,
                                               uint32_t window_ms)
{
    auto state = std::make_shared<WatchState>();
    state->window_ms = window_ms;
    state->on_notice = std::move(on_notice);
    state->inotify_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state->inotify_fd < 0) return nullptr;
    if (::inotify_add_watch(state->inotify_fd, dev_dir.c_str(), IN_ONLYDIR | kArrivalMask | kRemovalMask) < 0)
        return nullptr;
    state->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->wake_fd < 0) return nullptr;
    try {
        return std::make_unique<InotifyWatch>(std::move(state));
    } catch (const std::system_error&) {
        // No thread to spare: the caller goes on without notices, as without inotify.
        return nullptr;
    }
}
