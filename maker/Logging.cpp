#include "maker/Logging.h"

#include <cstdio>

#include "maker/Text.h"

void MLogger::Log(const LogMessage& message) {
    if (sink_) {
        sink_(message);
        return;
    }
    const std::string line = CharacterSetConversions::String<char>(message.GetText());
    std::fprintf(stderr, "%s\n", line.c_str());
}

void MLogger::SetSink(LogSink sink) {
    sink_ = std::move(sink);
}

MLogger& GetLogger() {
    static MLogger logger;
    return logger;
}

void SetLogSink(LogSink sink) {
    GetLogger().SetSink(std::move(sink));
}
