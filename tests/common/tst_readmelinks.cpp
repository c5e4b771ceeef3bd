#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

// The README is the first thing a newcomer runs commands from: every script,
// program, manual page, link and code unit it names must exist in the tree,
// or the first step of the first setup already fails.
class TestReadmeLinks : public QObject
{
    Q_OBJECT

private slots:
    void namedThingExists_data();
    void namedThingExists();

private:
    enum Kind
    {
        File,    // a path relative to the source tree
        Program, // build/bin/<name>: a program the tree builds
        ManPage, // "man <name>": man/<name>.<section>
        Unit     // a layout row's unit: a file or folder under that row's folder
    };
};

namespace {
const QString Source = QStringLiteral(SOURCE_DIR);
// A path from the top of the tree.
const QRegularExpression tree(QStringLiteral(
    "^(?:ZelSMS\\w*|setup|platform|tools|tests|cmake|debian|man|docs|scripts)/\\S*$"));

QStringList codeSpans(const QString &text)
{
    QStringList spans;
    static const QRegularExpression span(QStringLiteral("`([^`\\n]+)`"));
    for (auto it = span.globalMatch(text); it.hasNext();)
        spans << it.next().captured(1);
    return spans;
}

// The commands and code of the README: fenced blocks and inline spans.
QStringList codeTexts(const QString &readme)
{
    QStringList texts;
    QString prose;
    bool fenced = false;
    for (const QString &line : readme.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("```")))
            fenced = !fenced;
        else if (fenced)
            texts << line;
        else
            prose += line + QLatin1Char('\n');
    }
    return texts + codeSpans(prose);
}

bool unitExists(const QStringList &folders, QString name)
{
    const bool folder = name.endsWith(QLatin1Char('/'));
    if (folder)
        name.chop(1);
    for (const QString &root : folders) {
        QDirIterator it(Source + QLatin1Char('/') + root,
                        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            if (folder ? info.isDir() && info.fileName() == name
                       : info.fileName() == name || info.completeBaseName() == name)
                return true;
        }
    }
    return false;
}
} // namespace

void TestReadmeLinks::namedThingExists_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("folders");

    QFile file(Source + QStringLiteral("/README.md"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString readme = QString::fromUtf8(file.readAll());

    static const QRegularExpression script(QStringLiteral("\\bscripts/[\\w.-]+"));
    static const QRegularExpression program(QStringLiteral("\\bbuild/bin/(\\w+)\\b(?!/)"));
    static const QRegularExpression man(QStringLiteral("\\bman\\s+(?:-l\\s+)?([\\w./-]+)"));
    static const QRegularExpression tree(QStringLiteral(
        "^(?:ZelSMS\\w*|setup|platform|tools|tests|cmake|debian|man|docs|scripts)/\\S*$"));
    QSet<QString> seen;
    const auto add = [&seen](int kind, const QString &name, const QStringList &folders = {}) {
        const QString tag = QStringLiteral("%1 %2 %3").arg(kind).arg(folders.join(','), name);
        if (seen.contains(tag))
            return;
        seen.insert(tag);
        QTest::addRow("%d %s %s", kind, qPrintable(folders.join(QLatin1Char(','))),
                      qPrintable(name))
            << kind << name << folders;
    };
    for (const QString &code : codeTexts(readme)) {
        for (auto it = script.globalMatch(code); it.hasNext();)
            add(File, it.next().captured(0));
        for (auto it = program.globalMatch(code); it.hasNext();)
            add(Program, it.next().captured(1));
        for (auto it = man.globalMatch(code); it.hasNext();) {
            const QString page = it.next().captured(1);
            add(page.contains(QLatin1Char('/')) ? File : ManPage, page);
        }
        if (tree.match(code).hasMatch() &&
            !code.contains(QRegularExpression(QStringLiteral("[*<]"))))
            add(File, code);
    }
    static const QRegularExpression link(QStringLiteral("\\]\\(([^)#:]+)\\)"));
    for (auto it = link.globalMatch(readme); it.hasNext();)
        add(File, it.next().captured(1));

    // Layout rows: "| `folder/`[, `folder/`...] | ... `unit` ... |".
    for (const QString &line : readme.split(QLatin1Char('\n'))) {
        const QStringList cells = line.split(QLatin1Char('|'));
        if (cells.size() < 4 || !cells.at(1).trimmed().startsWith(QLatin1Char('`')))
            continue;
        const QStringList folders = codeSpans(cells.at(1));
        if (folders.isEmpty() || !std::all_of(folders.begin(), folders.end(), [](const QString &f) {
                return tree.match(f).hasMatch() && f.endsWith(QLatin1Char('/')) && !f.contains('*');
            }))
            continue; // not a row of the layout
        for (const QString &unit : codeSpans(cells.mid(2).join(QLatin1Char('|')))) {
            if (unit.contains(QLatin1Char('*')))
                continue; // a pattern such as prov_*/
            const int slash = unit.indexOf(QLatin1Char('/'));
            if (slash >= 0 && slash < unit.size() - 1)
                add(File, unit); // a path from the top of the tree
            else
                add(unit.startsWith(QLatin1String("Zel")) ? Program : Unit, unit, folders);
        }
        for (const QString &folder : folders)
            add(File, folder);
    }
}

void TestReadmeLinks::namedThingExists()
{
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(QStringList, folders);

    switch (kind) {
    case File: {
        // A unit may be named without its extension (ZelSMSCommon/addressparser).
        const QFileInfo path(Source + QLatin1Char('/') + name);
        QVERIFY2(path.exists() ||
                     !path.dir().entryList({path.fileName() + QStringLiteral(".*")}).isEmpty(),
                 qPrintable(name));
        break;
    }
    case Program:
        QVERIFY2(QString::fromLatin1(BUILT_PROGRAMS).split(QLatin1Char(',')).contains(name),
                 qPrintable(name + QStringLiteral(" is not built by the tree")));
        break;
    case ManPage:
        QVERIFY2(!QDir(Source + QStringLiteral("/man"))
                      .entryList({name + QStringLiteral(".[1-8]")})
                      .isEmpty(),
                 qPrintable(name));
        break;
    default:
        QVERIFY2(unitExists(folders, name),
                 qPrintable(name + QStringLiteral(" under ") + folders.join(',')));
    }
}

QTEST_GUILESS_MAIN(TestReadmeLinks)
#include "tst_readmelinks.moc"
