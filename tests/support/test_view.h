#pragma once
// A dialog view for tests: records everything the dialog model and the flows show, in order,
// and answers the file dialog and message boxes from a script. Safe to call from a worker.
#include "app/dialog_view.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ShownBox {
    std::string text;
    std::string caption;
    MsgBoxType type;
};

class TestView final : public IDialogView {
public:
    TestView();

    // --- script
    // The next file dialogs return these paths, in order; nullopt (or an empty script) = Cancel.
    void QueueFile(std::optional<std::string> path);
    // The next OK/Cancel boxes answer this, in order; with an empty script they answer OK.
    void QueueAnswer(MsgBoxResult answer);

    // --- what was shown
    std::string Title() const;
    std::vector<std::string> Titles() const;    // every title set, in order
    bool ButtonEnabled() const;
    std::vector<bool> ButtonStates() const;     // every EnableWindow, in order
    std::string ButtonText() const;
    std::vector<int> ProgressPositions() const; // every SetPos, in order
    int ProgressPos() const;
    std::pair<int, int> ProgressRange() const;
    bool DoneLabelVisible() const;
    std::string DoneLabelText() const;
    std::string InfoLabelText() const;
    std::vector<ShownBox> Boxes() const;
    std::vector<std::string> BoxTexts() const;
    int FileDialogs() const;
    FileFilter LastFilter() const;
    std::optional<std::string> LastInitialDir() const;
    // Every call, as one line each ("title:...", "button:1", "progress:46", "box:...",
    // "done:1", "file", "ended"), for order assertions.
    std::vector<std::string> Events() const;
    int UpdateEndedCount() const;
    // Waits (bounded, real time) until the worker has posted its end; false on timeout.
    bool WaitUpdateEnded(int count = 1, int timeout_ms = 10000) const;

    // --- IDialogView
    IButton& UpdateButton() override { return m_button; }
    IProgressBar& Progress() override { return m_progress; }
    ILabel& DoneLabel() override { return m_done; }
    ILabel& InfoLabel() override { return m_info; }
    void SetWindowText(const std::string& title) override;
    MsgBoxResult MessageBox(const std::string& text, const std::string& caption, MsgBoxType type) override;
    std::optional<std::string> OpenFileDialog(const FileFilter& filter,
                                              const std::optional<std::string>& initial_dir) override;
    void PostUpdateEnded() override;

private:
    struct Button final : IButton {
        TestView* v;
        void EnableWindow(bool enable) override;
        void SetWindowText(const std::string& text) override;
    };
    struct Bar final : IProgressBar {
        TestView* v;
        void SetRange(int lower, int upper) override;
        void SetPos(int pos) override;
    };
    struct Label final : ILabel {
        TestView* v;
        bool done;
        void ShowWindow(bool show) override;
        void SetWindowText(const std::string& text) override;
    };
    void Event(std::string e);
    template <class F>
    auto Locked(F read) const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return read();
    }

    mutable std::mutex m_lock;
    mutable std::condition_variable m_cv;
    Button m_button;
    Bar m_progress;
    Label m_done;
    Label m_info;
    std::deque<std::optional<std::string>> m_files;
    std::deque<MsgBoxResult> m_answers;
    std::vector<std::string> m_titles;
    std::vector<bool> m_buttonStates;
    std::string m_buttonText;
    std::vector<int> m_positions;
    std::pair<int, int> m_range{0, 100};
    bool m_doneVisible = true;
    std::string m_doneText;
    std::string m_infoText;
    std::vector<ShownBox> m_boxes;
    int m_fileDialogs = 0;
    FileFilter m_lastFilter;
    std::optional<std::string> m_lastDir;
    std::vector<std::string> m_events;
    int m_ended = 0;
};
