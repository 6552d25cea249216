#include "tests/support/test_view.h"

#include <chrono>

TestView::TestView()
{
    m_button.v = this;
    m_progress.v = this;
    m_done.v = this;
    m_done.done = true;
    m_info.v = this;
    m_info.done = false;
}

void TestView::QueueFile(std::optional<std::string> path)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_files.push_back(std::move(path));
}

void TestView::QueueAnswer(MsgBoxResult answer)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_answers.push_back(answer);
}

void TestView::Event(std::string e) { m_events.push_back(std::move(e)); }

std::string TestView::Title() const { return Locked([&] { return m_titles.empty() ? std::string() : m_titles.back(); }); }
std::vector<std::string> TestView::Titles() const { return Locked([&] { return m_titles; }); }
bool TestView::ButtonEnabled() const { return Locked([&] { return !m_buttonStates.empty() && m_buttonStates.back(); }); }
std::vector<bool> TestView::ButtonStates() const { return Locked([&] { return m_buttonStates; }); }
std::string TestView::ButtonText() const { return Locked([&] { return m_buttonText; }); }
std::vector<int> TestView::ProgressPositions() const { return Locked([&] { return m_positions; }); }
int TestView::ProgressPos() const { return Locked([&] { return m_positions.empty() ? 0 : m_positions.back(); }); }
std::pair<int, int> TestView::ProgressRange() const { return Locked([&] { return m_range; }); }
bool TestView::DoneLabelVisible() const { return Locked([&] { return m_doneVisible; }); }
std::string TestView::DoneLabelText() const { return Locked([&] { return m_doneText; }); }
std::string TestView::InfoLabelText() const { return Locked([&] { return m_infoText; }); }
std::vector<ShownBox> TestView::Boxes() const { return Locked([&] { return m_boxes; }); }
int TestView::FileDialogs() const { return Locked([&] { return m_fileDialogs; }); }
FileFilter TestView::LastFilter() const { return Locked([&] { return m_lastFilter; }); }
std::optional<std::string> TestView::LastInitialDir() const { return Locked([&] { return m_lastDir; }); }
std::vector<std::string> TestView::Events() const { return Locked([&] { return m_events; }); }
int TestView::UpdateEndedCount() const { return Locked([&] { return m_ended; }); }

std::vector<std::string> TestView::BoxTexts() const
{
    std::vector<std::string> texts;
    for (const ShownBox& b : Boxes()) texts.push_back(b.text);
    return texts;
}

bool TestView::WaitUpdateEnded(int count, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return m_ended >= count; });
}

void TestView::SetWindowText(const std::string& title)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_titles.push_back(title);
    Event("title:" + title);
}

MsgBoxResult TestView::MessageBox(const std::string& text, const std::string& caption, MsgBoxType type)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_boxes.push_back({text, caption, type});
    Event("box:" + text);
    if (type == MsgBoxType::kOk) return MsgBoxResult::kOk;
    if (m_answers.empty()) return MsgBoxResult::kOk;
    MsgBoxResult r = m_answers.front();
    m_answers.pop_front();
    return r;
}

std::optional<std::string> TestView::OpenFileDialog(const FileFilter& filter, const std::optional<std::string>& initial_dir)
{
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_fileDialogs;
    m_lastFilter = filter;
    m_lastDir = initial_dir;
    Event("file");
    if (m_files.empty()) return std::nullopt;
    std::optional<std::string> f = m_files.front();
    m_files.pop_front();
    return f;
}

void TestView::PostUpdateEnded()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_ended;
        Event("ended");
    }
    m_cv.notify_all();
}

void TestView::Button::EnableWindow(bool enable)
{
    std::lock_guard<std::mutex> lock(v->m_lock);
    v->m_buttonStates.push_back(enable);
    v->Event(std::string("button:") + (enable ? "1" : "0"));
}

void TestView::Button::SetWindowText(const std::string& text)
{
    std::lock_guard<std::mutex> lock(v->m_lock);
    v->m_buttonText = text;
}

void TestView::Bar::SetRange(int lower, int upper)
{
    std::lock_guard<std::mutex> lock(v->m_lock);
    v->m_range = {lower, upper};
}

void TestView::Bar::SetPos(int pos)
{
    std::lock_guard<std::mutex> lock(v->m_lock);
    v->m_positions.push_back(pos);
    v->Event("progress:" + std::to_string(pos));
}

void TestView::Label::ShowWindow(bool show)
{
    // The instructions label is never hidden; only the success label's visibility is news.
    if (!done) return;
    std::lock_guard<std::mutex> lock(v->m_lock);
    v->m_doneVisible = show;
    v->Event(std::string("done:") + (show ? "1" : "0"));
}

void TestView::Label::SetWindowText(const std::string& text)
{
    std::lock_guard<std::mutex> lock(v->m_lock);
    (done ? v->m_doneText : v->m_infoText) = text;
}
