// One embedding run: which kind of package a path holds, and the run over
// every model file the package's viewer controls still name by path.
#include "KQOpenXMLArchive.h"

#include "KQPlatform.h"

KQMessageBoxFunction KQReportMessageBox = MessageBoxA;

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
    // Parts stay parsed until RemoveUnreferencedFiles ends the run.
    BeginRun();
    KQStringArray urls;
    int32 total = CollectViewerFileURLs(urls, false);

    int32 embedded = 0;
    KQStringArray failed;
    for (int32 i = 0; i < urls.GetCount(); ++i) {
        // A control without a path has nothing to embed and has not failed.
        if (urls[i].IsEmpty())
            continue;
        KQString fileName;
        if (EmbedFile(urls[i], fileName))
            ++embedded;
        else
            failed.Add(urls[i]);
    }
    const bool success = failed.GetCount() == 0;

    if (showReport) {
        KQString report;
        if (!success) {
            report.AppendText("Failed to embed:\n");
            for (int32 i = 0; i < failed.GetCount(); ++i) {
                report.AppendText("\"");
                report.Append(failed[i]);
                report.AppendText("\"\n");
            }
            report.AppendText("\n");
        }
        report.Append(KQString::FromFormat("%d of %d KQFx files embedded", embedded, total));
        report.AppendText(success ? "\n\nEmbedding successful." : "\n\nEmbedding unsuccessful.");
        KQReportMessageBox(nullptr, report.CStr(), "Embedding report",
                           MB_OK | (success ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
    }
    return success;
}
