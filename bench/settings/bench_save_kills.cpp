// bench_save_kills [ROUNDS [FOLDER]]: kills a saving writer with SIGKILL at
// a random moment inside its save, ROUNDS times (1000 unless given), half of
// them on the rename path and half writing in place (a second name of the
// file forces that), the new text alternately shorter and longer. After each
// kill the file must load without a problem and hold the user before or
// after that save. At the end one ordinary save must leave nothing of the
// killed writers behind. Prints the counts; exit code 1 on any damage or
// leftover. FOLDER (default: a new one under the current folder, so that it
// lies on a real disk rather than tmpfs) must be empty or missing.

#include "settings/U_Types.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <optional>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString UserOf(int round)
{
    // Every third value long, so that writing in place both grows and shrinks.
    return u"benutzer-%1"_s.arg(round) + (round % 3 == 0 ? QString(2000, u'x') : QString());
}

QStringList FilesIn(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

// Busy waiting: a sleep's granularity is coarser than a save.
void SpinFor(qint64 nanoseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.nsecsElapsed() < nanoseconds) {
    }
}

} // namespace

int main(int argc, char *argv[])
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::optional<QTemporaryDir> ownFolder;
    QString folder;
    if (argc > 2) {
        folder = QString::fromLocal8Bit(argv[2]);
        QDir().mkpath(folder);
    } else {
        ownFolder.emplace(QDir::currentPath() + u"/bench_save_kills-XXXXXX"_s);
        folder = ownFolder->path();
    }
    const QString path = folder + u"/quilloraGlobal.xml"_s;
    const QString secondName = folder + u"/zweiter-name.xml"_s;
    {
        TGlobalSettings settings(path);
        settings.SetIXUser(UserOf(0));
        QString message;
        if (!settings.SaveToFile(message)) {
            std::fprintf(stderr, "first save failed: %s\n", qPrintable(message));
            return 2;
        }
    }
    // How long a save takes on each path, so that the kills fall inside it.
    qint64 saveNanoseconds[2] = {0, 0};
    for (int inPlace = 0; inPlace < 2; ++inPlace) {
        if (inPlace)
            (void)::link(QFile::encodeName(path), QFile::encodeName(secondName));
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 20; ++i) {
            TGlobalSettings settings(path);
            settings.SetIXUser(UserOf(i % 2 ? 3 : 1));
            QString message;
            (void)settings.SaveToFile(message);
        }
        saveNanoseconds[inPlace] = timer.nsecsElapsed() / 20;
        QFile::remove(secondName);
    }
    QString before;
    {
        TGlobalSettings settings(path);
        before = settings.GetIXUser();
    }

    int killedInside = 0;
    int finished = 0;
    int damaged = 0;
    for (int round = 1; round <= rounds; ++round) {
        const bool inPlace = round % 2 == 0;
        if (inPlace && ::link(QFile::encodeName(path), QFile::encodeName(secondName)) != 0) {
            std::fprintf(stderr, "cannot make the second name\n");
            return 2;
        }
        const QString user = UserOf(round);
        int ready[2];
        if (::pipe(ready) != 0)
            return 2;
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(ready[0]);
            TGlobalSettings settings(path);
            settings.SetIXUser(user);
            (void)::write(ready[1], "r", 1); // the save starts now
            QString message;
            ::_exit(settings.SaveToFile(message) ? 0 : 1);
        }
        ::close(ready[1]);
        char byte = 0;
        (void)::read(ready[0], &byte, 1);
        ::close(ready[0]);
        SpinFor(qint64(QRandomGenerator::global()->bounded(1.2) * double(saveNanoseconds[inPlace])));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFSIGNALED(status))
            ++killedInside;
        else
            ++finished;

        const TGlobalSettings reader(path);
        const QString now = reader.GetIXUser();
        if (!reader.LoadProblem().isEmpty() || (now != before && now != user)) {
            ++damaged;
            std::fprintf(stderr, "round %d (%s): damaged: %s\n", round, inPlace ? "in place" : "rename",
                         qPrintable(reader.LoadProblem().isEmpty() ? now.left(40) : reader.LoadProblem()));
        }
        before = now;
        if (inPlace)
            QFile::remove(secondName);
    }

    const QStringList leftBefore = FilesIn(folder);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"zuletzt"_s);
    QString message;
    const bool saved = settings.SaveToFile(message);
    const QStringList left = FilesIn(folder);
    const bool clean = saved && left == QStringList{u"quilloraGlobal.xml"_s};
    std::printf("rounds: %d, killed inside the save: %d, finished before the kill: %d, damaged: %d\n", rounds,
                killedInside, finished, damaged);
    std::printf("save time: rename %.3f ms, in place %.3f ms\n", saveNanoseconds[0] / 1e6,
                saveNanoseconds[1] / 1e6);
    std::printf("files before the next save: %s\n", qPrintable(leftBefore.join(u", "_s)));
    std::printf("files after the next save: %s%s\n", qPrintable(left.join(u", "_s)),
                saved ? "" : qPrintable(u" (save failed: "_s + message + u')'));
    return damaged == 0 && clean ? 0 : 1;
}
