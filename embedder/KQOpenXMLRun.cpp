// One embedding run: which kind of package a path holds, and the run over
// every model file the package's viewer controls still name by path.
#include "KQOpenXMLArchive.h"

#include "KQPlatform.h"

#include <string>

KQMessageBoxFunction KQReportMessageBox = MessageBoxA;

namespace {

// Every report box of a run ends with its verdict.
void ShowReport(KQString report, bool success)
{
    report.AppendText(success ? "\n\nEmbedding successful." : "\n\nEmbedding unsuccessful.");
    KQReportMessageBox(nullptr, report.CStr(), "Embedding report",
                       MB_OK | (success ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
}

}  // namespace

int KQDetectDocumentType(const KQString& path)
{
    KQOpenXMLArchive probe;
    if (!probe.Open(path, 1))
        return -1;

    int kind = -1;
    KQXmlDocument doc(false);
    if (probe.ReadXmlFile(KQString("_rels\\.rels"), &doc) && doc.RootElement()) {
        // The first relationship that names a main part decides.
        for (TiXmlElement* e = KQXmlElement::FirstChild(doc.RootElement()); e; e = KQXmlElement::NextSibling(e)) {
            KQString target = KQXmlElement::GetAttributeString(e, KQString("Target"), KQString(), nullptr);
            if (target.Contains(KQString("word/document"))) {
                kind = 0;
                break;
            }
            if (target.Contains(KQString("ppt/presentation"))) {
                kind = 1;
                break;
            }
        }
    }
    probe.Close();
    return kind;
}

bool KQOpenXMLArchive::EmbedAll(bool showReport)
{
    KQEmbeddingOutcome outcome;
    bool success = EmbedAll(outcome);
    if (showReport)
        KQShowEmbeddingReport(outcome);
    return success;
}

bool KQOpenXMLArchive::EmbedAll(KQEmbeddingOutcome& outcome)
{
    // Parts stay parsed until RemoveUnreferencedFiles ends the run.
    parts.Begin();
    KQStringArray urls;
    outcome.total = CollectViewerFileURLs(urls, false);
    // A control part that cannot be read names a file that is not embedded.
    outcome.total += static_cast<int32>(parts.Controls().unread.size());

    for (int32 i = 0; i < urls.GetCount(); ++i) {
        // A control without a path has nothing to embed and has not failed.
        if (urls[i].IsEmpty())
            continue;
        KQString fileName;
        if (EmbedFile(urls[i], fileName))
            ++outcome.embedded;
        else
            outcome.failed.Add(urls[i]);
    }
    for (const std::pair<KQString, KQString>& u : parts.Unread())
        outcome.unread.Add(KQString("\"") + u.first + KQString("\" ") + u.second);
    return outcome.failed.GetCount() == 0 && outcome.unread.GetCount() == 0;
}

bool KQOpenXMLArchive::Save(KQEmbeddingOutcome& outcome)
{
    // A library failure on the way closes the archive without writing it:
    // its changes are lost as surely as those of a failed write.
    if (!IsClosed() && Close())
        return true;
    KQString reason = HasError() ? GetError()->message : KQString("the archive was closed");
    // The zip layer's messages lead with where the text comes from.
    const KQString from(" : ");
    int32 at = reason.Find(from, 0);
    if (at >= 0)
        reason = reason.Mid(at + from.GetLength());
    outcome.saveFailure = reason.IsEmpty() ? KQString("unknown error") : reason;
    return false;
}

void KQShowEmbeddingReport(const KQEmbeddingOutcome& outcome)
{
    const bool success =
        outcome.failed.GetCount() == 0 && outcome.unread.GetCount() == 0 && outcome.saveFailure.IsEmpty();
    // Gathered where appending costs no copy of what is there: a report may
    // list tens of thousands of parts.
    std::string report;
    if (outcome.failed.GetCount() > 0) {
        report += "Failed to embed:\n";
        for (int32 i = 0; i < outcome.failed.GetCount(); ++i) {
            report += "\"";
            report += outcome.failed[i].CStr();
            report += "\"\n";
        }
        report += "\n";
    }
    if (outcome.unread.GetCount() > 0) {
        report += "Could not read:\n";
        for (int32 i = 0; i < outcome.unread.GetCount(); ++i) {
            report += outcome.unread[i].CStr();
            report += "\n";
        }
        report += "\n";
    }
    report += KQString::FromFormat("%d of %d KQFx files embedded", outcome.embedded, outcome.total).CStr();
    if (!outcome.saveFailure.IsEmpty()) {
        report += "\nThe package could not be saved: ";
        report += outcome.saveFailure.CStr();
    }
    ShowReport(KQString(report.c_str()), success);
}

bool KQHoldWasRefused(const KQZipArchive& package, KQString* reason)
{
    if (!package.HasError())
        return false;
    const KQString message = package.GetError()->message;
    const KQString refused(KQ_ZIP_LOCK_REFUSED);
    int32 at = message.Find(refused, 0);
    if (at < 0)
        return false;
    *reason = message.Mid(at + refused.GetLength());
    return true;
}

void KQShowHoldFailureReport(const KQString& reason)
{
    KQString report("The package could not be locked against other programs' saves, so it was not updated: ");
    report.Append(reason);
    ShowReport(report, false);
}

void KQShowStoppedSaveReport(const KQString& document, const KQString& written)
{
    KQString report(KQString::FromFormat(
        "An earlier run was stopped while it saved this package, and the package may be incomplete. The package "
        "as it was before that save is in the file '%s', and the one that save wrote in the file '%s'. Corvessa "
        "cannot prove that the package holds only what that save wrote, so it changed none of them. If the "
        "package does not open, copy the contents of the first file over it (as cp does, which keeps the "
        "package's owner and permissions). Then remove both files and run again.",
        document.CStr(), written.CStr()));
    ShowReport(report, false);
}

void KQShowMissingPackageReport(const KQString& before, const KQString& written)
{
    KQString report("An earlier run was stopped while it replaced this package, and the package is not under its "
                    "name.");
    if (!before.IsEmpty())
        report.Append(KQString::FromFormat(" The package as it was before that save is the file '%s'.", before.CStr()));
    if (!written.IsEmpty())
        report.Append(KQString::FromFormat(" The package that save wrote is the file '%s'.", written.CStr()));
    report.AppendText(before.IsEmpty() || written.IsEmpty()
                          ? " Corvessa cannot prove that it wrote that file, so it did not change it: give it the "
                            "package's name, then run again."
                          : " Corvessa cannot prove that it wrote them, so it changed neither: give the one you want "
                            "the package's name and remove the other, then run again.");
    ShowReport(report, false);
}
