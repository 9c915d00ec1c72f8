// The modem end of the simulated telephone line: a pseudo-terminal pair whose slave the box
// opens as its serial port. The modem end answers every "AT..." line, logs every line it
// receives, sends results such as "RING" when told to, and can drop the line.
#pragma once

#include <functional>
#include <string>

class TModemEnd {
public:
    // Creates the pair; the slave is put into raw mode so nothing is echoed before the box
    // opens it, and kept open here so the box may open and close it freely.
    TModemEnd();
    ~TModemEnd();
    TModemEnd(const TModemEnd&) = delete;
    TModemEnd& operator=(const TModemEnd&) = delete;

    const std::string& SlavePath() const { return FSlavePath; }
    // The descriptor to poll for bytes from the box; -1 once the line is dropped.
    int Fd() const { return FMaster; }
    bool Dropped() const { return FMaster < 0; }

    // Called for each complete line the box sent (without its CR/LF).
    std::function<void(const std::string& line)> OnLine;
    // The answer to a line that starts with "AT" (any letter case); empty for none.
    std::string Reply = "OK\r\n";

    // Reads what the box sent, answering and reporting complete lines.
    void HandleReadable();
    // Sends bytes to the box in one write; false when the line is dropped or the write fails.
    bool Send(const std::string& bytes);
    // Closes the modem end: the box's port sees the device go away.
    void Drop();
    // A new pair in place of a dropped one (a modem plugged in again); the link, when set, is
    // pointed at the new slave, so the box finds it at the same path.
    void Plug();
    std::string Link;

private:
    void Open();

    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
    std::string FPartial;
};

// "\r", "\n", "\t", "\\" and "\xHH" in a command argument become those bytes.
std::string UnescapeText(const std::string& text);
// A received line made printable: control bytes as "\xHH".
std::string EscapeText(const std::string& bytes);
