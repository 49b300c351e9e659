// Emulated decoder: asks the reflector for a stream every 4 s and tracks what it sends back.
#pragma once

#include "CDelayStats.h"
#include "CRtpStats.h"
#include "CSendLog.h"
#include "CThread.h"
#include "CUdpSocket.h"
#include "ISocketHandler.h"
#include "utils.h"

#include <netinet/in.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>

class CExtr : public CThread {
public:
    enum { REQUEST_SIZE = 12, BUFFER_SIZE = 1500, POLL_TIMEOUT = 2000, REQUEST_PERIOD = 4 };
    // A silent stream is offline this long after its last datagram's arrival: where a decoder
    // that counts whole seconds (more than 4 s old) on silent passes 2 s apart declares it,
    // between 5 and 7 s, and never on a pause under 5 s, however often this one's passes come.
    enum { OFFLINE_AFTER_MS = 6000 };
    // Batched receive: datagrams taken per system call, the receive buffer asked for, the
    // kernel's charge per queued datagram assumed in sizing the wait (a full-size one, with
    // its bookkeeping), and the stack of a decoder thread.
    enum { BATCH = 32, RECEIVE_BUFFER = 1 << 20, CHARGE_PER_DATAGRAM = 4096, STACK_SIZE = 256 * 1024 };
    // Datagrams a second a decoder takes without loss; assumed while a stream's rate is unknown.
    enum { FAST_STREAM = 2000 };
    // Batches one pass takes at most: a stream faster than the decoder must not keep it from
    // its requests and its stop. What is left waits for the next pass, a millisecond later.
    enum { MAX_BATCHES_PER_PASS = 16 };
    // What a pass decides besides receiving (flags).
    enum { PASS_NOTHING = 0, PASS_OFFLINE = 1, PASS_SEND_REQUEST = 2 };

    CExtr(const std::string& name, unsigned long address, ISocketHandler* player);
    ~CExtr() override;

    // Opens the socket on a random port and connects it to the reflector's decoder port.
    bool open(unsigned int reflector, unsigned short decoder_port,
              unsigned short poll_timeout = POLL_TIMEOUT);

    // Before open(): 0 wakes the thread for each datagram. Otherwise a decoder that is not
    // selected sleeps up to ms, whatever its last pass took, then takes everything queued in
    // batches; the kernel's arrival stamps keep the statistics and the online state as they
    // would be. The wait is shortened for a stream fast enough to fill half the receive
    // buffer in it. A selected one wakes for input too.
    void set_receive_interval(unsigned int ms) { m_interval_ms = ms; }
    // The wait before the next batch after n datagrams came in elapsed_ms (0: not measured,
    // as when the stream has just started); capacity: datagrams the receive buffer holds.
    static unsigned int batch_wait_ms(unsigned int interval_ms, unsigned int n, double elapsed_ms,
                                      unsigned int capacity);

    int execute(void* arg) override;

    // The steps of one pass, on the decoder's thread (or a test's, with its own clock):
    // the schedule starts one period in the past, so the first pass sends at once.
    void begin(time_t now);
    // A datagram of len bytes that arrived at arrival (realtime clock): measured, online
    // report on the first, forwarded while selected if it arrived after the selection.
    void on_datagram(const sockaddr_in& from, unsigned char* data, int len, const timespec& arrival);
    // The end of a pass at now (realtime clock): PASS_OFFLINE when a silent stream has just
    // gone offline (reported here), PASS_SEND_REQUEST when a request is due (the schedule, in
    // whole seconds, advances one period).
    int end_pass(bool received, const timespec& now);

    // "QVL ", the six octets of mac (wire order in memory), two zero bytes.
    static void make_request(unsigned long mac, unsigned char* request);
    // Bytes 8-11 big-endian; bytes the datagram does not have count as zero.
    static unsigned int ssrc_of(const unsigned char* data, int len);

    // Number of emulated decoders that are online.
    static std::atomic<int> online_ext;

    const std::string& name() const { return m_name; }
    // The device address as given (first octet most significant).
    unsigned long address() const { return utils::mac_big_endian(m_mac); }
    // Set by the console: forward this decoder's stream to the player, from what arrives at
    // or after at (realtime clock; now without it): datagrams queued before are not played.
    void select(bool on);
    void select(bool on, const timespec& at);
    bool selected() const { return m_selected; }
    bool online() const { return m_last_rx.load(std::memory_order_relaxed) != 0; }
    unsigned short local_port() const;
    // RTP quality of the stream received; the clock rate is set before start().
    const CRtpStats& stats() const { return m_stats; }
    // Datagrams the kernel dropped on the socket because they were not read in time.
    unsigned long long dropped_here() const { return m_socket.dropped(); }
    void set_clock_rate(unsigned int hz) { m_stats.set_clock_rate(hz); }
    // Before start(): the send times of relaysim's own encoders' copies. A copy that comes
    // back to this decoder adds its delay through the reflector to delay().
    void set_send_log(const CSendLog* log) { m_send_log = log; }
    const CDelayStats& delay() const { return m_delay; }

private:
    unsigned long m_mac;
    CUdpSocket m_socket;
    std::string m_name;
    // Written by the decoder's thread only; the console reads it for its table.
    std::atomic<time_t> m_last_rx;
    std::atomic<bool> m_selected;
    // Arrival (ns, realtime clock) from which a selected decoder forwards.
    std::atomic<long long> m_selected_since{0};
    // The last datagram's arrival (ns, realtime clock); the decoder's thread only.
    long long m_last_arrival_ns = 0;
    ISocketHandler* m_player;
    unsigned short m_poll_timeout;
    time_t m_next_send;
    CRtpStats m_stats;
    const CSendLog* m_send_log = nullptr;
    // The SSRC last looked up in the send log and its copy: a decoder hears one stream, so
    // the search runs when the stream changes, not per datagram.
    uint32_t m_log_ssrc = 0;
    size_t m_log_copy = CSendLog::NO_COPY;
    bool m_log_ssrc_known = false;
    unsigned int m_interval_ms = 0;
    // Datagrams the receive buffer holds, known after open().
    unsigned int m_capacity = 0;
    // Last: most datagrams never touch it, and it would push the fields above apart.
    CDelayStats m_delay;

    int execute_per_datagram();
    int execute_batched();
    // What is queued, up to MAX_BATCHES_PER_PASS batches taken from the shared pool: how
    // many datagrams.
    unsigned int drain();
    // After a poll that returned at once without input: sleeps out the rest of the pass.
    void rest_of_pass(std::chrono::steady_clock::time_point pass_start);
};
