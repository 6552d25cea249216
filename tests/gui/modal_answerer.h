#pragma once
// Answers the modal windows the dialog opens, from the GUI thread, the way a user would:
// a short timer looks at the active modal widget and deals with each new one once. What it
// saw is kept for assertions. Without a script it presses OK on message boxes and cancels
// file dialogs.
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

struct SeenModal {
    bool file_dialog = false;
    QString title;
    QString text;                       // message box text
    QMessageBox::StandardButtons buttons;
    bool has_icon = false;
    QStringList name_filters;           // file dialog
    QString directory;
    bool native = false;
    QWidget* owner = nullptr;
};

class ModalAnswerer : public QObject {
public:
    enum class Verdict { kAnswered, kUseScript, kLater };
    // Looks at a modal window first, whenever it is the active one and not yet answered:
    // kAnswered if it dealt with it, kLater to be asked again on a later tick.
    using Hook = std::function<Verdict(QWidget*, int seen_index)>;

    ModalAnswerer();

    // The next file dialogs choose these paths, in order (nullopt: cancel).
    void QueueFile(std::optional<QString> path) { m_files.push_back(std::move(path)); }
    // The next message boxes are answered with these buttons, in order (then OK).
    void QueueButton(QMessageBox::StandardButton button) { m_buttons.push_back(button); }
    void SetHook(Hook hook) { m_hook = std::move(hook); }

    const QList<SeenModal>& Seen() const { return m_seen; }
    QStringList BoxTexts() const;

private:
    void Tick();
    void AnswerFromScript(QWidget* w);

    QTimer m_timer;
    Hook m_hook;
    std::deque<std::optional<QString>> m_files;
    std::deque<QMessageBox::StandardButton> m_buttons;
    QList<SeenModal> m_seen;
    QList<QPointer<QWidget>> m_seenWidgets;
    QList<QPointer<QWidget>> m_answered;
};
