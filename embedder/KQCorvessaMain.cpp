// Corvessa's entry point: one run embeds the model files of the package that
// the command line names, then shows the report.
#include <new>

#include "KQOAPIProperties.h"
#include "KQOpenXMLArchive.h"
#include "KQPlatform.h"

// The property catalogue is built before WinMain runs and destroyed at exit.
KQ_LINK_STATIC_TABLES();

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    (void)instance;
    (void)previous;
    (void)showCommand;

    // The whole text is the path: it is not split, and quotes stay.
    KQString path(commandLine ? commandLine : "");
    // A run stopped while it wrote into the package left its bytes in a copy
    // beside it: they go back before anything reads the package, where that
    // can be proven right; otherwise the run says where they are. One stopped
    // while it replaced the package may have left it under other names.
    KQString document, written;
    switch (KQRecoverStoppedSave(path, &document, &written)) {
    case KQ_STOPPED_SAVE_ELSEWHERE:
        KQShowStoppedSaveReport(document, written);
        return 0;
    case KQ_STOPPED_SAVE_MISSING:
        KQShowMissingPackageReport(document, written);
        return 0;
    default:
        break;
    }
    int kind = KQDetectDocumentType(path);
    if (kind < 0)
        return 0;

    KQOpenXMLArchive* package = nullptr;
    if (kind == 1)
        package = new (std::nothrow) KQOpenXMLPresentation();
    else
        package = new (std::nothrow) KQOpenXMLWordArchive();
    if (!package)
        return 0;
    if (!package->Open(path, 0)) {
        // Unlike a package that does not open, one that opens but cannot be
        // held against other runs (a folder whose file system refuses the
        // lock) would otherwise fail every time without a word.
        KQString reason;
        if (KQHoldWasRefused(*package, &reason))
            KQShowHoldFailureReport(reason);
        delete package;
        return 0;
    }

    // The report tells what reached the disk, so the package is saved
    // before it is shown; a package that could not be saved ends the run as
    // one that could not be opened does.
    KQEmbeddingOutcome outcome;
    package->EmbedAll(outcome);
    package->RemoveUnreferencedFiles();
    bool saved = package->Save(outcome);
    KQShowEmbeddingReport(outcome);
    delete package;
    return saved ? 1 : 0;
}
