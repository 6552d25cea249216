#pragma once
// The dialog window of korvant-update: a fixed-size Qt dialog laid out like the original
// template, and the dialog-view port over it. It holds no update logic; clicks, device
// notices, the end of an update and requests to close are handed to the model (CUpdateDlg).
//
// Threads. The widgets belong to the dialog's (GUI) thread. A port call from the update
// worker is queued to that thread and the worker waits until it has been applied, as a
// SendMessage would; a call made on the GUI thread runs at once (queueing it and waiting
// would wait on itself). Device notices and the worker's end are queued without waiting.
// Everything that crosses threads goes through one mutex-guarded queue of our own, so a
// thread checker sees every hand-over; Qt's event queue only carries the wake-up.
#include "app/dialog_view.h"
#include "hid/hid.h"

#include <QDialog>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class CUpdateDlg;
class QLabel;
class QProgressBar;
class QPushButton;

class QtDialogView final : public QDialog, public IDialogView {
    Q_OBJECT

public:
    explicit QtDialogView(QWidget* parent = nullptr);
    ~QtDialogView() override;

    // The model this window is the face of; null detaches it (notices and clicks are then
    // ignored and the window closes freely). GUI thread.
    void Attach(CUpdateDlg* model);
    // Where the HID link's watcher posts device notices; lives as long as the window.
    IDeviceNoticeSink& NoticeSink() { return m_noticeSink; }
    // The platform's own file dialog, or Qt's (tests drive Qt's).
    void SetNativeFileDialog(bool native) { m_nativeFileDialog = native; }
    // Keeps handling events until no update runs, so that a worker waiting on this thread
    // can finish before the model that owns it is torn down. GUI thread.
    void FinishRunningUpdate();

    QProgressBar* ProgressWidget() const { return m_progressWidget; }
    QPushButton* ButtonWidget() const { return m_buttonWidget; }
    QLabel* DoneLabelWidget() const { return m_doneWidget; }
    QLabel* InfoLabelWidget() const { return m_infoWidget; }

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

public slots:
    // Esc, the close box and the window manager's close all end here (through reject()).
    void done(int result) override;

private slots:
    void RunQueued();

private:
    struct Button final : IButton {
        QtDialogView* view = nullptr;
        void EnableWindow(bool enable) override;
        void SetWindowText(const std::string& text) override;
    };
    struct Bar final : IProgressBar {
        QtDialogView* view = nullptr;
        void SetRange(int lower, int upper) override;
        void SetPos(int pos) override;
    };
    struct Label final : ILabel {
        QtDialogView* view = nullptr;
        QLabel* widget = nullptr;
        void ShowWindow(bool show) override;
        void SetWindowText(const std::string& text) override;
    };
    struct NoticeBridge final : IDeviceNoticeSink {
        QtDialogView* view = nullptr;
        void PostDeviceChange(uint32_t event) override;
    };
    struct PendingCall {
        const std::function<void()>* run;
        bool done = false;
    };

    // Runs `f` on the GUI thread and returns when it has run.
    void OnGuiThread(const std::function<void()>& f);
    // Asks the GUI thread to look at the queue; any thread, never blocks.
    void Wake();

    const std::thread::id m_guiThread;
    CUpdateDlg* m_model = nullptr;
    bool m_nativeFileDialog = true;

    QProgressBar* m_progressWidget;
    QPushButton* m_buttonWidget;
    QLabel* m_doneWidget;
    QLabel* m_infoWidget;
    Button m_button;
    Bar m_progress;
    Label m_done;
    Label m_info;
    NoticeBridge m_noticeSink;

    std::mutex m_queueLock;
    std::condition_variable m_callDone;
    std::deque<PendingCall*> m_calls;
    std::deque<uint32_t> m_notices;
    bool m_updateEnded = false;
};
