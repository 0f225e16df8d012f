// The maker's logger: one process-wide logger whose sink a host can replace.
//
// The default sink writes each message as one UTF-8 line to stderr. Tests and hosts install
// their own sink with SetLogSink; an empty sink restores the default.
#pragma once

#include <functional>
#include <string>

#include "maker/KvxExport.h"

class LogMessage {
public:
    explicit LogMessage(std::wstring text) : text_(std::move(text)) {}
    const std::wstring& GetText() const { return text_; }

private:
    std::wstring text_;
};

using LogSink = std::function<void(const LogMessage&)>;

class MLogger {
public:
    void Log(const LogMessage& message);
    void SetSink(LogSink sink);

private:
    LogSink sink_;
};

MLogger& GetLogger();

// Replaces the sink of the library's logger (an empty sink restores the stderr default).
KVX_API void SetLogSink(LogSink sink);
