#pragma once
// What the framed flow tests share: a harness with one framed controller, and the output
// reports the message tables give, byte for byte, to compare with what the controller got.
#include "protocol/framed_message.h"
#include "tests/support/flow_harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The 64 bytes after the report id: the count byte, the message, zeros.
inline Bytes OutReport(const Bytes& message)
{
    // Built in place: GCC 12 sees a one-byte vector grown by insert() as a memcpy out of
    // bounds when optimising under -fsanitize=thread, and -Werror makes that fatal.
    Bytes r(kHidDataSize, 0);
    r[0] = uint8_t(message.size());
    std::copy_n(message.begin(), std::min<size_t>(message.size(), kHidDataSize - 1), r.begin() + 1);
    return r;
}

inline Bytes ShortMessage(uint8_t type, uint8_t command) { return {0x00, type, 0x01, 0x00, command}; }

inline Bytes DataMessage(const Bytes& data)
{
    const size_t n = data.size();
    if (n == 0) return ShortMessage(TYPE_FIRMWARE, FIRMWARE_DATA);
    Bytes m = {0x00, 0x16, uint8_t(n + 3), uint8_t((n + 3) >> 8), FIRMWARE_DATA, uint8_t(n), uint8_t(n >> 8)};
    m.insert(m.end(), data.begin(), data.end());
    return m;
}

inline Bytes HeaderMessage(uint32_t version_word, uint32_t address, uint32_t size)
{
    Bytes m = {0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00};
    for (uint32_t word : {version_word, address, size})
        for (int i = 0; i < 4; ++i) m.push_back(uint8_t(word >> (8 * i)));
    m.resize(35, 0);
    return m;
}

inline const Bytes kStartReport = OutReport(ShortMessage(TYPE_START_UPDATE, 0));
inline const Bytes kReceiveFailedReport = OutReport(ShortMessage(TYPE_RECEIVE_FAILED, 0));
inline const Bytes kEndReport = OutReport(ShortMessage(TYPE_FIRMWARE, FIRMWARE_END));
inline const Bytes kVersionQueryReport = OutReport(ShortMessage(TYPE_FIRMWARE, GET_FIRMWARE_VERSION));

inline const std::string kTitle = "Korvant Update v2.00";
inline const std::string kUpgraded = "\n Firmware upgraded! \n";
inline const std::string kFailure = "Firmware update failure\n";
inline const std::string kNotBootMode = "Firmware update failure, please handle work in BOOT mode\n";
inline const std::string kInstructions =
    "1. Hold down pair button and connect to PC via USB cable.\r\n\r\n"
    "2. Click \"USB Update\" button and select firmware file.";

class FramedFlowTest : public ::testing::Test {
protected:
    std::string Attach(SimControllerOptions options = {})
    {
        m_dev = h.Attach(SimFamily::kFramed, options);
        return m_dev;
    }
    SimController& Sim() { return h.Controller(m_dev); }
    // From here on, Reports() and Lines() show only what follows.
    void Mark()
    {
        m_reportMark = Sim().ReceivedReports().size();
        h.debug.Clear();
        m_startMs = h.clock.NowMs();
    }
    std::vector<Bytes> Reports()
    {
        const auto& all = Sim().ReceivedReports();
        return std::vector<Bytes>(all.begin() + long(std::min(m_reportMark, all.size())), all.end());
    }
    // The flow's debug lines, without the link's own notes about which node it opened.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (const std::string& w : h.debug.Writes())
            if (w.rfind("m_DevicePath:", 0) != 0) lines.push_back(w);
        return lines;
    }
    uint64_t ElapsedMs() const { return h.clock.NowMs() - m_startMs; }
    // A message as the controller would put it in g_inReport, handled on the test's thread.
    void Deliver(Bytes message)
    {
        message.resize(kHidDataSize - 1, 0);
        h.dlg->OnDeviceMessage(message.data());
    }

    FlowHarness h;
    std::string m_dev;
    size_t m_reportMark = 0;
    uint64_t m_startMs = 0;
};
