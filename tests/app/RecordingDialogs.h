// A stand-in for the window's dialogs in tests: records every box (the run
// boxes with their choices and the end-of-run reports apart), question,
// prompt, file dialog, opened address and pop-up menu, and answers from
// queued values. Each box, question and prompt counts as one click.
#pragma once

#include "app/Dialogs.h"

#include <QAction>
#include <QMenu>
#include <QQueue>
#include <QVector>

#include <functional>

namespace velmora::app::test {

class RecordingDialogs final : public Dialogs {
public:
    struct Box {
        QString text;
        QString title;
        MessageIcon icon;
    };
    struct Popup {
        QString menuTitle;
        QStringList enabledItems; // texts of the enabled actions, in menu order
    };

    void message(QWidget*, const QString& text, const QString& title, MessageIcon icon) override
    {
        messages.append({text, title, icon});
        if (onMessage)
            onMessage(messages.back());
    }
    RunMessageChoice runMessage(QWidget*, const QString& text, const QString& title, MessageIcon icon) override
    {
        runMessages.append({text, title, icon});
        return runMessageAnswers.isEmpty() ? RunMessageChoice::ok : runMessageAnswers.dequeue();
    }
    void runSummary(QWidget*, const RunSummary& summary) override { summaries.append(summary); }
    bool askYesNo(QWidget*, const QString& text, const QString& title) override
    {
        questions.append({text, title, MessageIcon::question});
        return yesNoAnswers.isEmpty() ? false : yesNoAnswers.dequeue();
    }
    QString password(QWidget*, const QString& prompt, const QString& title) override
    {
        prompts.append({prompt, title, MessageIcon::none});
        return passwordAnswers.isEmpty() ? QString() : passwordAnswers.dequeue();
    }
    QString openFile(QWidget*, const QString& title, const QStringList& filters) override
    {
        fileDialogTitles.append(title);
        lastFilters = filters;
        return openFileAnswers.isEmpty() ? QString() : openFileAnswers.dequeue();
    }
    QString existingFolder(QWidget*, const QString& title, const QString& startFolder) override
    {
        fileDialogTitles.append(title);
        folderStarts.append(startFolder);
        return folderAnswers.isEmpty() ? QString() : folderAnswers.dequeue();
    }
    void openUrl(const QUrl& url) override { openedUrls.append(url); }
    void popupMenu(QMenu* menu, const QPoint&) override
    {
        Popup p{menu->title(), {}};
        for (QAction* a : menu->actions())
            if (!a->isSeparator() && a->isEnabled())
                p.enabledItems.append(a->text());
        popups.append(p);
    }

    // Every click the user made in boxes, questions and prompts.
    qsizetype clicks() const
    {
        return messages.size() + runMessages.size() + summaries.size() + questions.size() + prompts.size();
    }

    QStringList messageTexts() const
    {
        QStringList out;
        for (const Box& b : messages)
            out.append(b.text);
        return out;
    }

    // Answers.
    QQueue<bool> yesNoAnswers;
    QQueue<RunMessageChoice> runMessageAnswers;
    QQueue<QString> passwordAnswers;
    QQueue<QString> openFileAnswers;
    QQueue<QString> folderAnswers;
    std::function<void(const Box&)> onMessage;

    // Records.
    QVector<Box> messages;
    QVector<Box> runMessages;
    QVector<RunSummary> summaries;
    QVector<Box> questions;
    QVector<Box> prompts;
    QStringList fileDialogTitles;
    QStringList lastFilters;
    QStringList folderStarts;
    QList<QUrl> openedUrls;
    QVector<Popup> popups;
};

} // namespace velmora::app::test
