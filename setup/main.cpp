#include "logcategories.h"
#include "settingslocation.h"
#include "smsdialog.h"

#include <QApplication>
#include <QDebug>
#include <QTranslator>

int main(int argc, char *argv[])
{
    SettingsLocation::applyFromEnvironment();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(setuptranslations);

    QTranslator translator;
    if (translator.load(QStringLiteral("qt_ru"), QStringLiteral(":/tr/translations")))
        app.installTranslator(&translator);
    else
        qCWarning(lcSetup)
            << "[main]: Qt's Russian translation is not built in; Qt's own texts stay in English";

    SmsDialog dialog;
    dialog.show();
    return app.exec();
}
