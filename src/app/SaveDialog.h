// The file-save dialog shared by "Browse" and "Save..": asks before overwriting, hides
// read-only files and requires an existing folder. Qt's own (non-native) dialog, so it looks
// the same everywhere and can run headless.
#pragma once

#include <deque>
#include <optional>
#include <string>

class QWidget;

class TSaveDialog {
public:
    // Runs the dialog modally; true when the operator confirmed a name, now in FileName.
    bool Execute(QWidget* parent);
    std::string FileName;
    std::string Title = "Save As";

    // Test seam: the next Execute returns this answer instead of showing the dialog
    // (nullopt: the operator cancelled). Answers are used in the order given.
    static void QueueAnswerForTests(std::optional<std::string> answer);
    static void ClearAnswersForTests();

private:
    static std::deque<std::optional<std::string>>& Answers();
};
