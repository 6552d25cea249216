#pragma once
// The dialog as a terminal shows it: titles, message boxes and the success label as lines
// in the dialog's own words, the progress as a bar (on a terminal) or as plain lines, the
// confirmation as a y/N prompt (or --yes), the file dialog as the path from the command line.
// With --json, stdout carries JSON Lines only. Calls come from the update worker too; they
// are applied at once under a lock, so they are synchronous as the port requires.
#include "app/dialog_view.h"
#include "app/update_dlg.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct TerminalOptions {
    bool json = false;
    bool assume_yes = false;
    bool progress_bar = false;   // redraw a bar in place (stdout is a terminal)
    bool color = false;
    bool can_prompt = false;     // stdin is a terminal
    std::optional<std::string> image_path;
};

class TerminalView final : public IDialogView {
public:
    explicit TerminalView(TerminalOptions options);

    // How the running update stands, asked when a box is shown: failures go to stderr.
    void SetOutcomeSource(std::function<UpdateOutcome()> source) { m_outcome = std::move(source); }
    // Quiet: titles are recorded, not printed.
    void SetQuiet(bool quiet);
    // The progress is shown from the update's start on; the start-up's reset of the bar to 0
    // is no news.
    void ShowProgressFromNowOn();
    // Every title set so far, printed or not.
    std::vector<std::string> Titles() const;
    // The last message box's text, trimmed: the clearest word on how it ended.
    std::string LastMessage() const;
    // Waits for the worker's end (posted by PostUpdateEnded); false after timeout_ms.
    bool WaitUpdateEnded(int timeout_ms);
    // Ends a progress bar line so that what follows starts on a fresh line.
    void EndProgressLine();

    IButton& UpdateButton() override { return m_button; }
    IProgressBar& Progress() override { return m_bar; }
    ILabel& DoneLabel() override { return m_done; }
    ILabel& InfoLabel() override { return m_info; }
    void SetWindowText(const std::string& title) override;
    MsgBoxResult MessageBox(const std::string& text, const std::string& caption, MsgBoxType type) override;
    std::optional<std::string> OpenFileDialog(const FileFilter& filter,
                                              const std::optional<std::string>& initial_dir) override;
    void PostUpdateEnded() override;

private:
    struct Button final : IButton {
        void EnableWindow(bool) override {}
        void SetWindowText(const std::string&) override {}
    };
    struct Bar final : IProgressBar {
        TerminalView* v = nullptr;
        void SetRange(int, int) override {}
        void SetPos(int pos) override { v->ShowProgress(pos); }
    };
    struct Label final : ILabel {
        TerminalView* v = nullptr;
        std::string text;
        bool success = false;
        void ShowWindow(bool show) override;
        void SetWindowText(const std::string& t) override { text = t; }
    };
    void ShowProgress(int pos);
    void Line(bool to_stderr, const std::string& text);
    void JsonEvent(const std::string& json);

    TerminalOptions m_options;
    std::function<UpdateOutcome()> m_outcome;
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    Button m_button;
    Bar m_bar;
    Label m_done;
    Label m_info;
    bool m_quiet = false;
    bool m_progressShown = false;
    std::string m_lastLine;
    bool m_fileGiven = false;
    bool m_ended = false;
    bool m_barOpen = false;
    int m_lastPercent = -1;
    std::string m_lastTitle;
    std::vector<std::string> m_titles;
    std::string m_lastMessage;
};

// A message box's or label's text as one tidy block: CR LF as LF, no blank lines around it.
std::string TidyText(const std::string& text);
