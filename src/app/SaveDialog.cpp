#include "app/SaveDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

std::deque<std::optional<std::string>>& TSaveDialog::Answers() {
    static std::deque<std::optional<std::string>> answers;
    return answers;
}

void TSaveDialog::QueueAnswerForTests(std::optional<std::string> answer) {
    Answers().push_back(std::move(answer));
}

void TSaveDialog::ClearAnswersForTests() {
    Answers().clear();
}

bool TSaveDialog::Execute(QWidget* parent) {
    if (!Answers().empty()) {
        std::optional<std::string> answer = std::move(Answers().front());
        Answers().pop_front();
        if (!answer)
            return false;
        FileName = *answer;
        return true;
    }
    QFileDialog dialog(parent, QString::fromStdString(Title));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // AnyFile in save mode only accepts names in an existing folder; overwriting is confirmed.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setFilter(QDir::AllDirs | QDir::Files | QDir::Writable | QDir::NoDot);
    if (!FileName.empty()) {
        QFileInfo current(QString::fromLocal8Bit(FileName.c_str()));
        if (current.dir().exists())
            dialog.setDirectory(current.dir());
        dialog.selectFile(current.fileName());
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = dialog.selectedFiles().first().toLocal8Bit().toStdString();
    return true;
}
