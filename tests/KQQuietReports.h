// The fixture of tests that raise library errors.
#ifndef KQQUIETREPORTS_H
#define KQQUIETREPORTS_H

#include <gtest/gtest.h>

#include "KQOError.h"

// Keeps the console quiet; the cases that look at reports send them to a
// file. The switches are the process's, so each test puts them back.
class QuietReports : public ::testing::Test {
protected:
    void SetUp() override
    {
        KQ_REPORT_TO_CONSOLE = false;
        KQ_REPORT_TO_FILE = false;
        KQSetErrorReporting(true);
    }
    void TearDown() override
    {
        KQ_REPORT_TO_CONSOLE = true;
        KQ_REPORT_TO_FILE = false;
        KQ_REPORT_FILE_NAME = "TrevakAPI.txt";
    }
};

#endif
