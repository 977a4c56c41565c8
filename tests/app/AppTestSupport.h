// Shared set-up for the window tests: the application's names, a settings
// store in a temporary folder, a shown window over recording dialogs, files
// and folders to feed the window, and access to the window's controls by name.
#pragma once

#include "RecordingDialogs.h"

#include "app/frmMain.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

#include <memory>

namespace velmora::app::test {

// Points the per-user INI store at dir; call once before any window exists.
inline void useSettingsFolder(const QString& dir)
{
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setOrganizationName(QStringLiteral("velmora"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
}

// The settings store of a test program: a temporary folder set up once in
// initTestCase() and emptied before each test in init().
class SettingsSandbox {
public:
    bool setUp()
    {
        if (!dir_.isValid())
            return false;
        useSettingsFolder(dir_.path());
        return true;
    }
    void clear()
    {
        QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("velmora"), QStringLiteral("velmora"));
        s.clear();
        s.sync();
    }
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

// A window over recording dialogs, shown on the (offscreen) screen; made in
// init() and dropped in cleanup(), so no widget outlives its test.
class ShownWindow {
public:
    bool open()
    {
        dialogs_ = std::make_unique<RecordingDialogs>();
        window_ = std::make_unique<frmMain>(*dialogs_);
        window_->show();
        return QTest::qWaitForWindowExposed(window_.get());
    }
    void close()
    {
        window_.reset();
        dialogs_.reset();
    }
    // The window, opened on first use (tests that need no window skip the cost).
    frmMain& window()
    {
        if (!window_ && !open())
            qFatal("the window was not exposed");
        return *window_;
    }
    RecordingDialogs& dialogs()
    {
        window();
        return *dialogs_;
    }

private:
    std::unique_ptr<RecordingDialogs> dialogs_;
    std::unique_ptr<frmMain> window_;
};

// A button's or check box's caption as the user reads it (without the "&"
// that marks its Alt key).
inline QString caption(const QAbstractButton* b)
{
    return b->text().remove(QLatin1Char('&'));
}

// Calls fn on every pass of the event loop while a run is active (the run's
// yields), until fn returns true.
class DuringRun : public QObject {
public:
    DuringRun(frmMain& w, std::function<bool()> fn) : w_(w), fn_(std::move(fn))
    {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            if (w_.runActive() && !done_)
                done_ = fn_();
        });
        timer_.start();
    }
    bool done() const { return done_; }

private:
    frmMain& w_;
    std::function<bool()> fn_;
    QTimer timer_;
    bool done_ = false;
};

// A temporary folder for trees of many files: in memory (/dev/shm) where
// there is one, as making thousands of files on a busy disk takes seconds.
inline QTemporaryDir* newScratchDir()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    if (shm.isDir() && shm.isWritable()) {
        auto* dir = new QTemporaryDir(QStringLiteral("/dev/shm/velmora-test-XXXXXX"));
        if (dir->isValid())
            return dir;
        delete dir;
    }
    return new QTemporaryDir;
}

// A file of tests/data/app (see make-fixtures.sh there), or of another
// folder of tests/data.
inline QString appFixture(const char* name, const char* folder = "app")
{
    return QString::fromStdString((velmora::test::data_dir() / folder / name).string());
}

// False while the readers leave every selected entry of a run "not reached"
// (the dispatcher's fallback): tests of the end-of-run report for ZIP, GZIP
// and TAR need the readers to record what they did, and skip until then.
inline bool readersRecordOutcomes(const ExtractionReport& report)
{
    const auto groups = report.groups();
    return !(report.count(EntryOutcome::extracted) == 0 && groups.size() == 1
             && groups.front().reason == OutcomeReason::not_reached);
}

inline QString settingsFile(const QString& dir)
{
    return dir + QStringLiteral("/velmora/velmora.ini");
}

// The stored text of section/key as the store holds it now.
inline QString storedValue(const QString& section, const QString& key)
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("velmora"), QStringLiteral("velmora"));
    return s.value(section + QLatin1Char('/') + key).toString();
}
inline bool storedKeyExists(const QString& section, const QString& key)
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("velmora"), QStringLiteral("velmora"));
    return s.contains(section + QLatin1Char('/') + key);
}

inline void writeFile(const QString& path, const QByteArray& bytes = QByteArray("not an archive"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

template <typename T>
T* control(QWidget& window, const char* name)
{
    T* w = window.findChild<T*>(QString::fromLatin1(name));
    if (!w)
        qFatal("no control named %s", name);
    return w;
}

inline QStringList queueItems(QWidget& window)
{
    auto* list = control<QListWidget>(window, "List1");
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out.append(list->item(i)->text());
    return out;
}

inline QList<bool> rowChecks(QWidget& window)
{
    auto* list = control<QTreeWidget>(window, "lstInZip");
    QList<bool> out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out.append(list->topLevelItem(i)->checkState(0) == Qt::Checked);
    return out;
}

} // namespace velmora::app::test
