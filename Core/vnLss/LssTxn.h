// The store's one transaction: opened by a thread through the store (which takes the
// segment writer's lock for it), it writes and deletes elements and ends with a
// transaction record, which is what makes its changes recoverable. Only the thread that
// opened it may use it.
#pragma once
#include "vnLss/LssInterfaces.h"
#include "vnLss/SerialElementWriter.h"
#include <atomic>
#include <thread>

namespace vorn {

class LssInternal;

class LssTxn : public ILssTransaction {
public:
    explicit LssTxn(LssInternal* store) : m_store(store), m_writer(store) {}
    void Close() override;
    void FlushWhenClose() override;
    ICloseableOutputStream* WriteSerialElement(SeidLow low, SeidHigh high) override;
    bool DeleteSerialElement(SeidLow low, SeidHigh high) override;
    void DeleteSeidSpace(SeidHigh high) override;

    // Called by the store's open-transaction operation with the writer lock held.
    void Begin();
    bool IsOwnedByCallingThread() const { return m_owner.load() == std::this_thread::get_id(); }
    // Ends the transaction without a transaction record; returns whether it had
    // written or deleted anything.
    bool Abandon() noexcept;
    SerialElementWriter& GetWriter() { return m_writer; }

private:
    void CheckOwner(const char* message) const;
    void EndHolding();

    LssInternal* m_store;
    SerialElementWriter m_writer;
    std::atomic<std::thread::id> m_owner{};
    bool m_flushWhenClose = false;
    bool m_written = false;
    bool m_deleted = false;
};

} // namespace vorn
