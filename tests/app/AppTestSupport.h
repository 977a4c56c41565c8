// Shared set-up for the window tests: the application's names, a settings
// store in a temporary folder, files and folders to feed the window, and
// access to the window's controls by name.
#pragma once

#include "app/frmMain.h"

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
#include <QTreeWidget>

namespace velmora::app::test {

// Points the per-user INI store at dir; call once before any window exists.
inline void useSettingsFolder(const QString& dir)
{
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setOrganizationName(QStringLiteral("velmora"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
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
