// vexora-cli as the CLI tests run it: a child process (VEXORA_CLI, the program the build made),
// with its exit status and what it wrote, and its JSON read back.
#pragma once

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <gtest/gtest.h>

#include <string>

struct TRun {
    int Status = -1; // the exit code; -1 when the program did not end by itself
    std::string Out;
    std::string Err;
};

// Runs vexora-cli with `Args` in `Env` and waits for it to end (two minutes at most).
inline TRun Cli(const QStringList& Args,
                const QProcessEnvironment& Env = QProcessEnvironment::systemEnvironment())
{
    static int argc = 1;
    static char name[] = "cli_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv); // QProcess wants one
    QProcess process;
    process.setProcessEnvironment(Env);
    process.start(QStringLiteral(VEXORA_CLI), Args);
    EXPECT_TRUE(process.waitForFinished(120000)) << Args.join(' ').toStdString();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

// The JSON document `Text` holds, array or object.
inline QJsonValue Json(const std::string& Text)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(Text));
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}
