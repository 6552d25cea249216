#include "app/cli/terminal_view.h"

#include "app/cli/json.h"
#include "base/strprintf.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

namespace {

constexpr int kBarWidth = 40;

} // namespace

std::string TidyText(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    const size_t first = out.find_first_not_of(" \n");
    if (first == std::string::npos) return {};
    const size_t last = out.find_last_not_of(" \n");
    return out.substr(first, last - first + 1);
}

TerminalView::TerminalView(TerminalOptions options) : m_options(std::move(options))
{
    m_bar.v = this;
    m_done.v = this;
    m_done.success = true;
    m_info.v = this;
}

void TerminalView::SetQuiet(bool quiet)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_quiet = quiet;
}

void TerminalView::ShowProgressFromNowOn()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_progressShown = true;
}

std::string TerminalView::LastMessage() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastMessage;
}

std::vector<std::string> TerminalView::Titles() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_titles;
}

void TerminalView::EndProgressLine()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_barOpen) std::fputs("\n", stdout);
    m_barOpen = false;
    std::fflush(stdout);
}

void TerminalView::Line(bool to_stderr, const std::string& text)
{
    if (m_barOpen) {
        std::fputs("\n", stdout);
        m_barOpen = false;
    }
    if (m_options.json && !to_stderr) return; // stdout is JSON only
    // The success box and the success label say the same words; once is enough here.
    if (text == m_lastLine) return;
    m_lastLine = text;
    FILE* f = to_stderr ? stderr : stdout;
    std::fputs(text.c_str(), f);
    std::fputs("\n", f);
    std::fflush(f);
}

void TerminalView::JsonEvent(const std::string& json)
{
    std::fputs(json.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

void TerminalView::SetWindowText(const std::string& title)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_titles.push_back(title);
    if (title == m_lastTitle) return;
    m_lastTitle = title;
    if (m_quiet) return;
    if (m_options.json) JsonEvent(JsonObject().Str("event", "title").Str("text", title).Text());
    else Line(false, title);
}

MsgBoxResult TerminalView::MessageBox(const std::string& text, const std::string& /*caption*/, MsgBoxType type)
{
    const UpdateOutcome outcome = m_outcome ? m_outcome() : UpdateOutcome::kNone;
    const bool failure = outcome == UpdateOutcome::kFailed || outcome == UpdateOutcome::kInvalidImage;
    std::unique_lock<std::mutex> lock(m_lock);
    const std::string tidy = TidyText(text);
    m_lastMessage = tidy;
    if (m_options.json) JsonEvent(JsonObject().Str("event", "message").Str("text", tidy).Text());
    if (type == MsgBoxType::kOk) {
        // The dialog resets its bar after the last box; on a terminal that reset would read
        // as a restart, so the bar ends where the update ended.
        m_progressShown = false;
        Line(failure, tidy);
        return MsgBoxResult::kOk;
    }
    // The confirmation of the image.
    Line(false, tidy);
    if (m_options.assume_yes) return MsgBoxResult::kOk;
    if (!m_options.can_prompt) {
        Line(true, "korvant-flash: not confirmed: run with --yes to flash without a prompt");
        return MsgBoxResult::kCancel;
    }
    std::fputs("Write this firmware to the controller? [y/N] ", stderr);
    std::fflush(stderr);
    std::string answer;
    lock.unlock();
    if (!std::getline(std::cin, answer)) answer.clear();
    return answer == "y" || answer == "Y" || answer == "yes" ? MsgBoxResult::kOk : MsgBoxResult::kCancel;
}

std::optional<std::string> TerminalView::OpenFileDialog(const FileFilter& /*filter*/,
                                                        const std::optional<std::string>& /*initial_dir*/)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // The path on the command line answers the first file dialog; there is no second pick.
    if (m_fileGiven || !m_options.image_path) return std::nullopt;
    m_fileGiven = true;
    return m_options.image_path;
}

void TerminalView::PostUpdateEnded()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_ended = true;
    }
    m_cv.notify_all();
}

bool TerminalView::WaitUpdateEnded(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_ended; });
}

void TerminalView::ShowProgress(int pos)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_progressShown) return;
    // The dialog's bar shows a position beyond its range as full; so does this one.
    const int percent = std::clamp(pos, 0, 100);
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    if (m_options.json) {
        JsonEvent(JsonObject().Str("event", "progress").Num("percent", uint64_t(percent)).Text());
    } else if (m_options.progress_bar) {
        const int filled = percent * kBarWidth / 100;
        std::string bar = "\r[" + std::string(size_t(filled), '#') + std::string(size_t(kBarWidth - filled), '.') + "] ";
        if (m_options.color) bar = "\r\x1b[32m" + bar.substr(1) + "\x1b[0m";
        std::fputs(StrPrintf("%s%3d%%", bar.c_str(), percent).c_str(), stdout);
        std::fflush(stdout);
        m_barOpen = true;
    } else if (percent % 10 == 0) {
        // A log gets a line per tenth, not a hundred lines.
        Line(false, StrPrintf("progress %d%%", percent));
    }
}

void TerminalView::Label::ShowWindow(bool show)
{
    // Only the success label carries news; the instructions are the dialog's furniture.
    if (!show || !success) return;
    std::lock_guard<std::mutex> lock(v->m_lock);
    v->Line(false, TidyText(text));
}
