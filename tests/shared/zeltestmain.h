#pragma once

#include "settingslocation.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

// A test main whose system-scope settings live in a fresh temporary directory,
// so no test reads or writes another's settings or the machine's. The
// redirection has to happen before the first QSettings exists, hence in main
// and not in initTestCase().
#define ZEL_TEST_MAIN(TestClass)                                                                   \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QTemporaryDir settingsDir;                                                                 \
        qputenv("ZELSMS_SETTINGS_DIR", settingsDir.path().toUtf8());                               \
        qputenv("ZELSMS_STATE_DIR", settingsDir.filePath("state").toUtf8());                       \
        SettingsLocation::applyFromEnvironment();                                                  \
        QCoreApplication app(argc, argv);                                                          \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
