#pragma once
// The process-wide utility object: the locks every layer shares, the tool's folder,
// operator messages and whole-file I/O.
#include <cstdint>
#include <mutex>
#include <string>

#include "util/ThreadAnnotations.h"

// Kinds of operator message.
enum ProgramMessageKind : int {
    kMsgError = 1,
    kMsgTimeOut = 2,
    kMsgWarning = 3,
    kMsgInformation = 4,
    kMsgQuestion = 5,
};

// Caption of a message kind ("Error", "TimeOut", ...); empty for other kinds.
const char* ProgramMessageCaption(int kind);

// The front end that shows operator messages in interactive use (the window's
// message box). Returns the box's answer.
class IProgramMessageSink {
public:
    virtual ~IProgramMessageSink() = default;
    virtual int ShowMessageBox(const std::string& text, const char* caption, int kind, unsigned flags) = 0;
};

class CUSBUtility {
public:
    static CUSBUtility& Instance();

    // Process-wide critical sections. Recursive like the critical sections they
    // model: a thread that holds one may enter it again.
    // They guard operations on shared hardware and files (the trace, partition
    // scripts, formatting, the reload window, preload copies, scans), not fields.
    util::RecursiveMutex m_PrintCriticalSection;
    util::RecursiveMutex m_PartitionCriticalSection;
    util::RecursiveMutex m_ChildThreadFormatUtilityCriticalSection;
    util::RecursiveMutex m_ReloadFWCriticalSection;
    util::RecursiveMutex m_ChildThreadPreloadCriticalSection;
    util::RecursiveMutex m_ScanCriticalSection;

    // Folder of the program file, or $DEVEDA_HOME when set: where the settings
    // file, the result logs and the test file live.
    std::string GetProgramFolder() const;
    void SetProgramFolder(const std::string& folder);

    // Operator message. With `toFile` (the window is hidden) the text and "\r\n"
    // are appended to "ProgramMSG.txt" in the current folder, followed by a
    // 1000 ms wait, and 0 is returned; otherwise the message sink shows it (on
    // standard error when no sink is installed) and its answer is returned.
    int ShowProgramMessage(const std::string& text, int kind, unsigned flags, bool toFile);
    void SetMessageSink(IProgramMessageSink* sink);

    // Reads exactly `size` bytes of an existing file into `buffer`.
    bool vReadFile(const std::string& path, uint8_t* buffer, uint32_t size);
    // Writes `size` bytes to `path`, creating or replacing it. The bytes go to a
    // temporary file beside it that is renamed over the target only when complete,
    // so the target is never left half-written.
    bool vWriteFile(const std::string& path, const uint8_t* buffer, uint32_t size);

private:
    CUSBUtility();
    mutable util::Mutex m_FolderLock;
    std::string m_strProgramFolder GUARDED_BY(m_FolderLock);
    IProgramMessageSink* m_pMessageSink GUARDED_BY(m_FolderLock) = nullptr;
};

// Appends one whole record to a text file (created when missing) and syncs it.
// The record goes out in one write so concurrent appenders never interleave; a
// record that cannot be written whole is taken back, never left half-written.
// False with errno set when the record is not in the file.
bool AppendRecord(const std::string& path, const std::string& record);
