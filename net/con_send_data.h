#pragma once
// Connect-and-send: delivers one element stream to one host over a fresh TCP session (connect, one packet
// asking for an acknowledgement, wait for it, close) and reports the outcome on the main thread.
//
// An owner's deliveries go through its T_ConSendList: at most MaxActive of them are under way at once, the
// rest wait in a queue. A delivery has no thread of its own: it runs on its session's socket events, which
// the main thread handles anyway, so a burst of messages from the network costs queue entries (bounded too),
// never threads, and nothing ever waits for a slow or absent peer. The bytes on the wire are those of one
// acknowledged packet per delivery.

#include "foundation/streams.h"
#include "net/multi_timer.h"
#include "net/socket_types.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

namespace rv {

class TRV_SmartStream;
class T_ConSendData;
class T_ConSendSession;

// (Sender: the delivery, valid during the call only; Successful: the peer acknowledged the packet.)
using T_OnConSendDataComplete = std::function<void(T_ConSendData* Sender, bool Successful)>;

// A message kind that never replaces, and is never replaced by, another message.
constexpr int C_NoCoalescing = -1;

struct T_ConSendLimits {
    int MaxActive = 16;                          // deliveries under way at once
    int MaxQueued = 4096;                        // deliveries waiting to start
    size_t MaxQueuedBytes = 16u * 1024u * 1024u; // their data together
};

// One message to one host: queued, then under way, then reported and freed by its list.
class T_ConSendData {
public:
    ~T_ConSendData();
    T_ConSendData(const T_ConSendData&) = delete;
    T_ConSendData& operator=(const T_ConSendData&) = delete;

    // The address sent to. Main thread.
    T_NumericIpAddress HostAddr() const { return FHostAddr; }
    uint16_t HostPort() const { return FHostPort; }
    // The acknowledgement arrived. Main thread.
    bool ConSendSuccess() const { return FConSendSuccess; }

private:
    friend class T_ConSendList;
    friend class T_ConSendSession;
    enum class TState { Queued, Connecting, AwaitingAck, Done };

    T_ConSendData(class T_ConSendList& List, T_NumericIpAddress HostAddr, uint16_t HostPort, int Kind);

    // The session's events. Main thread.
    void E_Connected();
    void E_OnPacketAck();
    void E_Ended();
    // The outcome is known: the list reports it later, outside every socket event. Main thread.
    void Finish(bool Successful);

    T_ConSendList& FList;
    const T_NumericIpAddress FHostAddr;
    const uint16_t FHostPort;
    const int FKind;
    uint32_t FTimeOutMS = 0;
    T_OnConSendDataComplete FOnConSendDataComplete;
    std::vector<uint8_t> FData; // the serialised stream; dropped once handed to the session
    TState FState = TState::Queued;
    bool FConSendSuccess = false;
    uint32_t FPhaseStart =
        0; // tick when it was queued, started connecting or sent: its time-out runs from there
    std::unique_ptr<T_ConSendSession> Sess;
    std::list<std::unique_ptr<T_ConSendData>>::iterator FPos; // its place in the list's items
};

// The deliveries of one owner. Every operation: main thread.
class T_ConSendList {
public:
    explicit T_ConSendList(T_ConSendLimits Limits = {});
    // Clear.
    ~T_ConSendList();
    T_ConSendList(const T_ConSendList&) = delete;
    T_ConSendList& operator=(const T_ConSendList&) = delete;

    // Serialises DataToSend at once (the caller may change or free it afterwards) and queues its delivery to
    // HostAddr:HostPort. TimeOutMS bounds its wait in the queue, its connect and its wait for the
    // acknowledgement, each on its own. A message of Kind (not C_NoCoalescing) to the same address that still
    // waits in the queue is replaced by this one, which takes its place; the replaced one reports nothing. A
    // message that finds the queue full is reported unsuccessful. Reports never come from inside this call.
    void Send(T_NumericIpAddress HostAddr, uint16_t HostPort, uint32_t TimeOutMS, TRV_SmartStream& DataToSend,
              int Kind, T_OnConSendDataComplete OnComplete);

    // Messages not yet reported: queued, under way, or done with the report still to come.
    int Count() const { return static_cast<int>(FItems.size()); }
    // Deliveries under way.
    int ActiveCount() const { return FActive; }
    // Drops every message, queued or under way (its connection is closed); none of them reports. Not from
    // inside a socket event of the list's own sessions (no handler of the list runs there).
    void Clear();

private:
    friend class T_ConSendData;
    using TItems = std::list<std::unique_ptr<T_ConSendData>>;

    static uint64_t CoalesceKey(T_NumericIpAddress HostAddr, uint16_t HostPort, int Kind);
    void StartWaiting();
    void Start(T_ConSendData& Item);
    void Finished(T_ConSendData& Item);
    void PostReports();
    void E_Reports();
    void E_Tick();
    void Unqueue(T_ConSendData& Item);
    void UpdateTick();

    const T_ConSendLimits FLimits;
    TItems FItems;                     // every message not yet reported, in the order sent
    std::deque<T_ConSendData*> FQueue; // waiting to start, oldest first
    std::unordered_map<uint64_t, T_ConSendData*> FQueuedByKey; // the queued messages that may be replaced
    std::deque<T_ConSendData*> FDone;                          // outcomes waiting to be reported, in order
    size_t FQueuedBytes = 0;
    int FActive = 0;
    int32_t FReportHandle = 0; // the deferred call that reports; 0 until first needed
    bool FReportPosted = false;
    T_TimerID FTick = C_NullTimerID; // checks the time-outs while anything is queued or under way
    std::shared_ptr<bool> FAlive;    // false once the list is gone: a report handler may free it
};

} // namespace rv
