#include "maker/ReadBudget.h"

#include "maker/MFile.h"

MReadSession::MReadSession(MFile& file, std::uint64_t limit)
    : file_(file), previous_(file.GetReadSession()), budget_(limit) {
    file_.SetReadSession(this);
}

MReadSession::~MReadSession() {
    file_.SetReadSession(previous_);
}

MReadSession* MReadSession::Of(const MFile& file) {
    return file.GetReadSession();
}

MReadBudget* ReadBudgetOf(const MFile& file) {
    MReadSession* session = file.GetReadSession();
    return session != nullptr ? &session->Budget() : nullptr;
}

bool TakeReadBudget(MFile& file, std::uint64_t count, std::uint64_t size) {
    MReadBudget* budget = ReadBudgetOf(file);
    return budget == nullptr || budget->Take(count, size);
}
