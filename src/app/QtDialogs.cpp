// The Qt implementation of the window's dialogs.
#include "app/Dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

namespace velmora::app {

namespace {

QMessageBox::Icon boxIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::information: return QMessageBox::Information;
    case MessageIcon::critical: return QMessageBox::Critical;
    case MessageIcon::question: return QMessageBox::Question;
    case MessageIcon::none: break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

void QtDialogs::message(QWidget* parent, const QString& text, const QString& title, MessageIcon icon)
{
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

RunMessageChoice QtDialogs::runMessage(QWidget* parent, const QString& text, const QString& title, MessageIcon icon)
{
    QMessageBox box(boxIcon(icon), title, text, QMessageBox::Ok, parent);
    QPushButton* quiet = box.addButton(QString::fromLatin1(kShowNoMoreMessages), QMessageBox::AcceptRole);
    QPushButton* stop = box.addButton(QString::fromLatin1(kCancelTheRun), QMessageBox::RejectRole);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    if (box.clickedButton() == quiet)
        return RunMessageChoice::showNoMore;
    if (box.clickedButton() == stop)
        return RunMessageChoice::cancelRun;
    return RunMessageChoice::ok;
}

void QtDialogs::runSummary(QWidget* parent, const RunSummary& summary)
{
    QMessageBox box(summary.failures ? QMessageBox::Warning : QMessageBox::Information, summary.title, summary.text,
                    QMessageBox::Ok, parent);
    box.exec();
}

bool QtDialogs::askYesNo(QWidget* parent, const QString& text, const QString& title)
{
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
           == QMessageBox::Yes;
}

QString QtDialogs::password(QWidget* parent, const QString& prompt, const QString& title)
{
    bool ok = false;
    const QString answer = QInputDialog::getText(parent, title, prompt, QLineEdit::Password, QString(), &ok);
    return ok ? answer : QString();
}

QString QtDialogs::openFile(QWidget* parent, const QString& title, const QStringList& filters)
{
    // Qt's own dialog: its name filters ignore case, so "*.zip" finds "X.ZIP"
    // too, which not every platform dialog does.
    QFileDialog dialog(parent, title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(filters);
    if (!filters.isEmpty())
        dialog.selectNameFilter(filters.first());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

QString QtDialogs::existingFolder(QWidget* parent, const QString& title, const QString& startFolder)
{
    return QFileDialog::getExistingDirectory(parent, title, startFolder, QFileDialog::ShowDirsOnly);
}

void QtDialogs::openUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

void QtDialogs::popupMenu(QMenu* menu, const QPoint& globalPos)
{
    menu->popup(globalPos);
}

} // namespace velmora::app
