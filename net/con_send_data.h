#pragma once
// Connect-and-send workers: a thread that delivers one element stream to one host over a fresh TCP session
// (connect, one packet asking for an acknowledgement, wait for it, close) and reports the outcome on the main
// thread. The main thread is never blocked by a slow or absent peer; it must keep its messages flowing, because
// the worker's connect and acknowledgement events are handled there.

#include "foundation/object_list.h"
#include "foundation/streams.h"
#include "foundation/thread.h"
#include "net/tcp_session.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace rv {

class TRV_SmartStream;
class T_ConSendData;

// (Sender: the worker, Successful: the peer acknowledged the packet, FreeObject: set it to have the worker free
// itself once its run has ended; the handler must then drop every reference to it, taking it out of its list
// with NoDestroyRemove.)
using T_OnConSendDataComplete = std::function<void(T_ConSendData* Sender, bool Successful, bool& FreeObject)>;

class T_ConSendData : public TRV_Thread {
public:
    // Main thread. Serialises DataToSend at once (the caller may change or free it afterwards) and starts the
    // worker. TimeOutMS bounds the connect and, once more, the wait for the acknowledgement.
    static T_ConSendData* Create(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS,
                                 TRV_SmartStream& DataToSend, T_OnConSendDataComplete OnComplete);

    // Set as the last step of the run (or when the completion was reported). Any thread.
    bool ProcessingComplete() const { return FProcessingComplete.load(); }
    // The acknowledgement arrived. Any thread.
    bool ConSendSuccess() const { return FConSendSuccess.load(); }
    // The address sent to, fixed at construction. Any thread.
    T_NumericIpAddress HostAddr() const { return FHostAddr; }

protected:
    friend class TRV_Thread;
    T_ConSendData(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS, TRV_SmartStream& DataToSend,
                  T_OnConSendDataComplete OnComplete);
    ~T_ConSendData() override;

    // Creating thread: the session (no-delay on, keep-alive off, every packet asking for an acknowledgement).
    void ExecuteInitialization() override;
    // Connect, send, await the acknowledgement, close; then the report (unless terminated). The worker.
    void Execute() override;
    // Frees the session and the data if the run left them. The freeing thread: the main thread (the list) or the
    // worker itself (free-on-terminate), once the run has ended.
    void ExecuteFinalization() override;

    // Main thread: the session's acknowledgement handler.
    void E_OnPacketAck(TWS_TcpIpSession* Session);
    // The connect wait's cancel test: the worker has been told to terminate. Any thread.
    bool ConnectionCancelled() const { return Terminated(); }
    // Main thread: raises the completion event, unless the worker was told to terminate meanwhile.
    void DoFinished();

private:
    std::atomic<bool> FProcessingComplete{false};
    const T_NumericIpAddress FHostAddr;
    const uint16_t FHostPort;
    const uint32_t FTimeOutMS;
    const T_OnConSendDataComplete FOnConSendDataComplete;
    std::atomic<bool> FConSendSuccess{false};
    std::unique_ptr<TWS_TcpIpSession> Sess;     // the worker's run owns it; freed by the run or the finalisation
    std::unique_ptr<TMemoryStream> DataAsStream; // the serialised element stream
};

// The workers of one owner. Every operation: main thread (the list is not guarded; workers report there).
class T_ConSendList : public TRV_ObjectList<T_ConSendData, TRV_ThreadDeleter> {
public:
    // Clear. Main thread.
    ~T_ConSendList() override;
    // Main thread.
    T_ConSendData* GetItem(int Index) const { return Items(Index); }
    // Frees, from the last to the first, every worker whose run is complete. Call before adding a new one. Main
    // thread.
    void FreeCompletedThreads();
    // Tells every worker to stop and keeps the main thread's messages flowing until all have ended and been
    // freed. A stopped worker reports nothing. Not from inside a socket event (a stopping worker frees its
    // session, which needs WS_SessionCS, and the event's dispatch holds it) nor from a completion handler (its
    // worker waits for the handler to return). FreeCompletedThreads may be called from both: a completed worker
    // has freed its session already and does not wait for anything. Main thread.
    void Clear() override;
};

} // namespace rv
