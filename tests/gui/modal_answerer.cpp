#include "tests/gui/modal_answerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>

namespace {

bool Holds(const QList<QPointer<QWidget>>& list, QWidget* w)
{
    for (const QPointer<QWidget>& p : list)
        if (p == w) return true;
    return false;
}

SeenModal Describe(QWidget* w)
{
    SeenModal s;
    s.title = w->windowTitle();
    s.owner = w->parentWidget();
    if (auto* fd = qobject_cast<QFileDialog*>(w)) {
        s.file_dialog = true;
        s.name_filters = fd->nameFilters();
        s.directory = fd->directory().absolutePath();
        s.native = !fd->testOption(QFileDialog::DontUseNativeDialog);
    } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
        s.text = box->text();
        s.buttons = box->standardButtons();
        s.has_icon = box->icon() != QMessageBox::NoIcon;
    }
    return s;
}

} // namespace

ModalAnswerer::ModalAnswerer()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
    m_timer.start();
}

QStringList ModalAnswerer::BoxTexts() const
{
    QStringList texts;
    for (const SeenModal& s : m_seen)
        if (!s.file_dialog) texts << s.text;
    return texts;
}

void ModalAnswerer::Tick()
{
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible() || Holds(m_answered, w)) return;
    if (!qobject_cast<QFileDialog*>(w) && !qobject_cast<QMessageBox*>(w)) return;
    if (!Holds(m_seenWidgets, w)) {
        m_seenWidgets << w;
        m_seen << Describe(w);
    }
    int index = 0;
    for (int i = 0; i < m_seenWidgets.size(); ++i)
        if (m_seenWidgets[i] == w) index = i;
    Verdict verdict = m_hook ? m_hook(w, index) : Verdict::kUseScript;
    if (verdict == Verdict::kLater) return;
    m_answered << w;
    if (verdict == Verdict::kUseScript) AnswerFromScript(w);
}

void ModalAnswerer::AnswerFromScript(QWidget* w)
{
    if (auto* fd = qobject_cast<QFileDialog*>(w)) {
        std::optional<QString> path;
        if (!m_files.empty()) {
            path = m_files.front();
            m_files.pop_front();
        }
        if (!path) {
            fd->reject();
            return;
        }
        fd->selectFile(*path);
        // As pressing Open does.
        QMetaObject::invokeMethod(fd, "accept");
    } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
        QMessageBox::StandardButton answer = QMessageBox::Ok;
        if (!m_buttons.empty()) {
            answer = m_buttons.front();
            m_buttons.pop_front();
        }
        box->button(answer)->click();
    }
}
