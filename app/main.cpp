// The program's entry: no command-line arguments; the window's data directory is the directory of
// the executable.
#include "mainwindow.h"

#include <QApplication>
#include <curl/curl.h>

int main(int argc, char **argv)
{
    // Once, before any thread exists (libcurl's global state is not thread-safe to set up).
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int code = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Тавросин"));
        QApplication::setApplicationDisplayName(QStringLiteral("Тавросин"));

        MainFormOptions options;
        options.dataDir = QCoreApplication::applicationDirPath();
        TMainForm form(std::move(options));
        form.show();
        code = app.exec();
        // Normally the window closed only after its run and login had ended; whatever way the
        // loop ended, no thread is left running past this point.
        form.finishThreads();
    }
    curl_global_cleanup();
    return code;
}
