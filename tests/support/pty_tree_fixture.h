#pragma once
// Test helpers around the pty-backed fake device tree: a tree in a fresh temporary
// directory, a recorder for device notices, and a bounded wait.
#include "hid/hid.h"
#include "sim/pty_device_tree.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A PtyDeviceTree rooted in its own TempDir.
class TempPtyTree {
public:
    TempPtyTree()
    {
        std::string error;
        m_tree = PtyDeviceTree::Create(m_dir.Path().string(), &error);
        if (!m_tree) ADD_FAILURE() << error;
    }
    const std::string& Root() const { return m_tree->Root(); }
    PtyDeviceTree& Tree() { return *m_tree; }
    // Plugs a device in, failing the test (and returning null) when that is impossible.
    PtyDevice* Plug(unsigned number, uint16_t vendor_id, uint16_t product_id)
    {
        std::string error;
        PtyDevice* device = m_tree->Plug(number, vendor_id, product_id, &error);
        if (!device) ADD_FAILURE() << "cannot plug hidraw" << number << ": " << error;
        return device;
    }

private:
    TempDir m_dir; // declared first: the tree (and its ptys) go before the directory
    std::unique_ptr<PtyDeviceTree> m_tree;
};

// Polls `done` until it holds or `limit` passes; true when it held.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Records the device-change codes CHid posts, from whatever thread they come.
class NoticeRecorder final : public IDeviceNoticeSink {
public:
    void PostDeviceChange(uint32_t event) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(event);
    }
    std::vector<uint32_t> Events() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }
    // Waits (bounded) until `count` codes have arrived.
    bool WaitForCount(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const
    {
        return WaitUntil([&] { return Events().size() >= count; }, limit);
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.clear();
    }

private:
    mutable std::mutex m_lock;
    std::vector<uint32_t> m_events;
};
