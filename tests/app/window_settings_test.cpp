// Guards the options' persistence: what a first start shows, what a restart
// restores, what switching "Save  Settings" off erases and writes, and that
// nothing is written behind the user's back.
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include <QAction>
#include <QGroupBox>
#include <QMenu>
#include <QSet>

using namespace velmora::app;
using namespace velmora::app::test;

class WindowSettingsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void firstStartWithEmptyStore();
    void captionsAsDesigned();
    void rememberedPathSurvivesRestart();
    void saveSettingsOffErasesEverything();
    void saveSettingsOnWritesCurrentValues();
    void typingWithoutRememberWritesNothing();
    void storedValuesRestoredAndBadOnesIgnored();
    void savedOffLeavesLaterChangesUnstored();

private:
    SettingsSandbox store_;
};

void WindowSettingsTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowSettingsTest::init()
{
    store_.clear();
}

void WindowSettingsTest::firstStartWithEmptyStore()
{
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    QVERIFY(control<QCheckBox>(w, "Check1")->isChecked());
    QVERIFY(control<QCheckBox>(w, "Check2")->isChecked());
    QVERIFY(!control<QCheckBox>(w, "Check3")->isChecked());
    QVERIFY(control<QCheckBox>(w, "Check4")->isChecked());
    QVERIFY(!control<QCheckBox>(w, "Check5")->isChecked());
    QVERIFY(control<QLineEdit>(w, "Text2")->text().isEmpty());
    QCOMPARE(w.windowTitle(), QStringLiteral("Velmora Archive Extractor 1.0"));
    QCOMPARE(caption(control<QCheckBox>(w, "Check4")), QStringLiteral("Save  Settings"));
    // Restoring defaults writes nothing.
    QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("velmora"), QStringLiteral("velmora"));
    QVERIFY(s.allKeys().isEmpty());
    QVERIFY(dialogs.messages.isEmpty());
}

void WindowSettingsTest::captionsAsDesigned()
{
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    const std::pair<const char*, const char*> buttons[] = {
        {"chameleonButton2", "Open ZIP Archive"}, {"chameleonButton1", "Extract To..."}, {"isButton1", "Start"},
        {"chameleonButton4", "Cancel"}, {"chameleonButton5", "Help"}};
    // Each caption reads as designed; an "&" marks the letter Alt reaches it
    // with, a different one per control.
    QSet<QChar> mnemonics;
    auto mnemonicOf = [](const QString& text) {
        const qsizetype at = text.indexOf(QLatin1Char('&'));
        return at >= 0 && at + 1 < text.size() ? text[at + 1].toLower() : QChar();
    };
    for (auto [name, designed] : buttons) {
        auto* b = control<QPushButton>(w, name);
        QCOMPARE(caption(b), QString::fromLatin1(designed));
        QVERIFY2(!mnemonicOf(b->text()).isNull(), name);
        mnemonics.insert(mnemonicOf(b->text()));
    }
    const std::pair<const char*, const char*> checks[] = {
        {"Check1", "Select All"}, {"Check2", "Overwrite Existing Files"}, {"Check3", "Include Sub-Folders"},
        {"Check4", "Save  Settings"}, {"Check5", "Remember output path"}};
    for (auto [name, designed] : checks) {
        auto* c = control<QCheckBox>(w, name);
        QCOMPARE(caption(c), QString::fromLatin1(designed));
        mnemonics.insert(mnemonicOf(c->text()));
    }
    QCOMPARE(mnemonics.size(), 10);
    QCOMPARE(control<QLabel>(w, "Label1")->text(), QStringLiteral("      ( Drag  and Drop ZIP Files )"));
    QCOMPARE(control<QLabel>(w, "Label2")->text(), QStringLiteral(" ( Extract ZIP Archive  )"));
    QCOMPARE(control<QGroupBox>(w, "Frame1")->title(), QStringLiteral("User Options"));
    auto* menu = control<QMenu>(w, "menu");
    QCOMPARE(menu->title(), QStringLiteral("Menu"));
    QStringList items;
    for (QAction* a : menu->actions())
        items << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + QLatin1Char('=') + a->text());
    QCOMPARE(items, QStringList({"pastefile=Paste", "-", "mnuRemove=Delete", "-", "mnuRemoveAll=Delete All"}));
    auto* list = control<QTreeWidget>(w, "lstInZip");
    QCOMPARE(list->columnCount(), 4);
    QStringList headers;
    for (int c = 0; c < 4; ++c)
        headers << list->headerItem()->text(c);
    QCOMPARE(headers, QStringList({"File Name", "Zipped Size", "File Size", "Modified"}));
}

void WindowSettingsTest::rememberedPathSurvivesRestart()
{
    {
        RecordingDialogs dialogs;
        frmMain w(dialogs);
        control<QCheckBox>(w, "Check5")->setChecked(true);
        QTest::keyClicks(control<QLineEdit>(w, "Text2"), QStringLiteral("/srv/out"));
        // Every write reaches the store at once.
        QCOMPARE(storedValue("checkboxoutputpath", "savefiles"), QStringLiteral("/srv/out"));
    }
    RecordingDialogs dialogs;
    frmMain again(dialogs);
    QCOMPARE(control<QLineEdit>(again, "Text2")->text(), QStringLiteral("/srv/out"));
    QVERIFY(control<QCheckBox>(again, "Check5")->isChecked());
}

void WindowSettingsTest::saveSettingsOffErasesEverything()
{
    {
        RecordingDialogs dialogs;
        frmMain w(dialogs);
        control<QCheckBox>(w, "Check3")->setChecked(true);
        control<QCheckBox>(w, "Check2")->setChecked(false);
        control<QCheckBox>(w, "Check5")->setChecked(true);
        control<QLineEdit>(w, "Text2")->setText(QStringLiteral("/srv/out"));
        QCOMPARE(storedValue("checkboxfolders", "usersubfolders"), QStringLiteral("1"));
        QCOMPARE(storedValue("checkboxoverwrite", "overwriteuserfiles"), QStringLiteral("0"));
        control<QCheckBox>(w, "Check4")->setChecked(false);
        for (auto [section, key] : {std::pair{"checkboxselectall", "userselectfiles"},
                                    {"checkboxoverwrite", "overwriteuserfiles"},
                                    {"checkboxfolders", "usersubfolders"},
                                    {"checkboxoutputpath", "savefiles"},
                                    {"checkboxsettings", "userssettings"}}) {
            QVERIFY2(storedKeyExists(section, key), key);
            QCOMPARE(storedValue(section, key), QString());
        }
    }
    RecordingDialogs dialogs;
    frmMain again(dialogs);
    QVERIFY(control<QCheckBox>(again, "Check1")->isChecked());
    QVERIFY(control<QCheckBox>(again, "Check2")->isChecked());
    QVERIFY(!control<QCheckBox>(again, "Check3")->isChecked());
    QVERIFY(control<QCheckBox>(again, "Check4")->isChecked());
    QVERIFY(!control<QCheckBox>(again, "Check5")->isChecked());
    QVERIFY(control<QLineEdit>(again, "Text2")->text().isEmpty());
}

void WindowSettingsTest::saveSettingsOnWritesCurrentValues()
{
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    control<QCheckBox>(w, "Check4")->setChecked(false);
    control<QCheckBox>(w, "Check2")->setChecked(false);
    control<QCheckBox>(w, "Check1")->setChecked(false);
    QCOMPARE(storedValue("checkboxoverwrite", "overwriteuserfiles"), QString());
    control<QCheckBox>(w, "Check4")->setChecked(true);
    QCOMPARE(storedValue("checkboxselectall", "userselectfiles"), QStringLiteral("0"));
    QCOMPARE(storedValue("checkboxoverwrite", "overwriteuserfiles"), QStringLiteral("0"));
    QCOMPARE(storedValue("checkboxfolders", "usersubfolders"), QStringLiteral("0"));
    QCOMPARE(storedValue("checkboxoutputpath", "savefiles"), QString());
    QCOMPARE(storedValue("checkboxsettings", "userssettings"), QStringLiteral("1"));
}

void WindowSettingsTest::typingWithoutRememberWritesNothing()
{
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    QTest::keyClicks(control<QLineEdit>(w, "Text2"), QStringLiteral("/typed"));
    QVERIFY(!storedKeyExists("checkboxoutputpath", "savefiles"));
    // Ticking "Remember output path" stores what is typed; unticking empties it.
    control<QCheckBox>(w, "Check5")->setChecked(true);
    QCOMPARE(storedValue("checkboxoutputpath", "savefiles"), QStringLiteral("/typed"));
    control<QCheckBox>(w, "Check5")->setChecked(false);
    QCOMPARE(storedValue("checkboxoutputpath", "savefiles"), QString());
}

void WindowSettingsTest::storedValuesRestoredAndBadOnesIgnored()
{
    {
        QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("velmora"), QStringLiteral("velmora"));
        s.setValue("checkboxselectall/userselectfiles", "0");
        s.setValue("checkboxoverwrite/overwriteuserfiles", "yes");
        s.setValue("checkboxfolders/usersubfolders", "1");
        s.setValue("checkboxoutputpath/savefiles", "/kept");
        s.setValue("checkboxsettings/userssettings", "2");
    }
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    QVERIFY(!control<QCheckBox>(w, "Check1")->isChecked());
    QVERIFY(control<QCheckBox>(w, "Check2")->isChecked()); // "yes" keeps the default
    QVERIFY(control<QCheckBox>(w, "Check3")->isChecked());
    QVERIFY(control<QCheckBox>(w, "Check4")->isChecked()); // "2" keeps the default
    QVERIFY(control<QCheckBox>(w, "Check5")->isChecked());
    QCOMPARE(control<QLineEdit>(w, "Text2")->text(), QStringLiteral("/kept"));
    QCOMPARE(storedValue("checkboxoverwrite", "overwriteuserfiles"), QStringLiteral("yes"));
}

void WindowSettingsTest::savedOffLeavesLaterChangesUnstored()
{
    {
        RecordingDialogs dialogs;
        frmMain w(dialogs);
        control<QCheckBox>(w, "Check4")->setChecked(false);
        control<QCheckBox>(w, "Check3")->setChecked(true);
        control<QCheckBox>(w, "Check5")->setChecked(true);
        control<QLineEdit>(w, "Text2")->setText(QStringLiteral("/not/kept"));
    }
    RecordingDialogs dialogs;
    frmMain again(dialogs);
    QVERIFY(!control<QCheckBox>(again, "Check3")->isChecked());
    QVERIFY(control<QLineEdit>(again, "Text2")->text().isEmpty());
}

QTEST_MAIN(WindowSettingsTest)
#include "window_settings_test.moc"
