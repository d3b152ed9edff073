// The program's entry: no command-line arguments. A copy in a folder of its own keeps its files in
// the directory of the executable, an installed copy in the per-user data folder (datafolder.h).
#include "application.h"
#include "coredumps.h"
#include "datafolder.h"
#include "mainwindow.h"
#include "processend.h"

#include <QApplication>
#include <curl/curl.h>

int main(int argc, char **argv)
{
    // Before anything secret is read: settings.ini holds the bot token and the proxy's password. A
    // refusal changes nothing else; the window has nowhere to say it yet.
    switchOffCoreDumps();
    // Once, before any thread exists (libcurl's global state is not thread-safe to set up).
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int code = 0;
    {
        QApplication app(argc, argv);
        setUpApplication(app);

        const DataFolder folder = chooseDataFolder(QCoreApplication::applicationDirPath(), {}, perUserDataFolder());
        MainFormOptions options;
        options.dataDir = folder.path;
        if (folder.perUser) {
            QString error;
            options.startupNote = prepareDataFolder(folder, &error) ? dataFolderText(folder.path) : error;
        }
        TMainForm form(std::move(options));
        form.show();
        code = app.exec();
        // Normally the window closed only after its run and login had ended; whatever way the
        // loop ended, no thread is left running past this point.
        form.finishThreads();
    }
    curl_global_cleanup();
    return endProcess(code);
}
