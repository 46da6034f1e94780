#pragma once
// What the application logs under one category while an object of this class
// lives, from any thread; nothing under that category reaches the terminal.
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <mutex>

namespace kx::test {

class LogCapture {
public:
    explicit LogCapture(const char* category) {
        std::lock_guard lock(mutex());
        category_() = category;
        lines().clear();
        previous_ = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList messages() const {
        std::lock_guard lock(mutex());
        return lines();
    }

private:
    static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
        std::lock_guard lock(mutex());
        if (context.category && category_() == context.category) lines() << message;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static QString& category_() {
        static QString c;
        return c;
    }
    static QStringList& lines() {
        static QStringList l;
        return l;
    }
    QtMessageHandler previous_ = nullptr;
};

} // namespace kx::test
