#pragma once
// The dialog-view port: the window as the update flows see it. Each front end implements
// it (the Qt dialog, the terminal view, test views). Calls may come from the dialog's
// thread or from an update worker; a call from a worker returns only after the front end
// has applied it on its own thread (a worker that sets the progress sees it set).
#include <optional>
#include <string>

// The update button (IDC_USB_UPDATE).
class IButton {
public:
    virtual ~IButton() = default;
    virtual void EnableWindow(bool enable) = 0;
    virtual void SetWindowText(const std::string& text) = 0;
};

// The progress bar (IDC_PROGRESS). A position outside the range shows as the nearest end.
class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    virtual void SetRange(int lower, int upper) = 0;  // PBM_SETRANGE
    virtual void SetPos(int pos) = 0;                 // PBM_SETPOS
};

// A static text: the success label or the instructions label (IDC_INFO_TEXT).
class ILabel {
public:
    virtual ~ILabel() = default;
    virtual void ShowWindow(bool show) = 0;
    virtual void SetWindowText(const std::string& text) = 0;
};

enum class MsgBoxType { kOk, kOkCancel };
enum class MsgBoxResult { kOk, kCancel };

struct FileFilter {
    std::string description; // "File type(*.dat)"
    std::string pattern;     // "*.dat"
};

class IDialogView {
public:
    virtual ~IDialogView() = default;
    virtual IButton& UpdateButton() = 0;
    virtual IProgressBar& Progress() = 0;
    virtual ILabel& DoneLabel() = 0;
    virtual ILabel& InfoLabel() = 0;
    virtual void SetWindowText(const std::string& title) = 0;
    // Modal, owned by the dialog. An empty caption means the application's own name.
    // Texts may hold "\r\n" line breaks. Closing the box any other way counts as Cancel
    // (or as OK for a box that has only OK).
    virtual MsgBoxResult MessageBox(const std::string& text, const std::string& caption, MsgBoxType type) = 0;
    // Modal open-file dialog; the chosen file's full path, or nothing when cancelled.
    virtual std::optional<std::string> OpenFileDialog(const FileFilter& filter,
                                                      const std::optional<std::string>& initial_dir) = 0;
    // Called by the update worker as its very last step. The front end must not block: it
    // arranges for CUpdateDlg::OnUpdateThreadEnded to run on the dialog's thread.
    virtual void PostUpdateEnded() = 0;
};
