// The run's devices: the player relay, the local-stream relay and the emulated decoders, with
// their one owner, which adds decoders and takes the snapshot every output is written from.
#include "CRunDevices.h"

#include "CExtr.h"
#include "CInstr.h"
#include "CPlayer.h"
#include "CSendLog.h"
#include "options.h"
#include "run_signals.h"

#include <cstdio>
#include <cstring>

namespace {
const char* const NAME_PREFIX = "ORVANTEX - ";
}

CRunDevices::CRunDevices(const options& opt, std::vector<unsigned long> decoders,
                         std::vector<unsigned long> encoders)
    : m_opt(opt),
      m_addresses(std::move(decoders)),
      m_encoders(std::move(encoders)),
      m_player(new CPlayer(opt.player_addr, opt.player_port)),
      m_instr(new CInstr())
{
    m_decoders.reserve(m_addresses.size());
    m_instr->stats().set_clock_rate(opt.rtp_clock_rate());
    if (!m_encoders.empty()) {
        m_send_log.reset(new CSendLog(CInstr::ssrcs_in_send_order(m_encoders)));
        m_instr->set_send_log(m_send_log.get());
    }
}

// The decoders forward to the player: they go first.
CRunDevices::~CRunDevices()
{
    m_decoders.clear();
}

bool CRunDevices::open()
{
    m_player->open();
    if (m_instr->open(m_opt.local_port))
        return true;
    fprintf(stderr, "relaysim: -l %u: can't bind the local port: %s\n", m_opt.local_port,
            strerror(m_instr->socket().get_last_err()));
    return false;
}

bool CRunDevices::add_decoder(bool start)
{
    if (m_decoders.size() >= m_addresses.size())
        return false;
    const unsigned long address = m_addresses[m_decoders.size()];
    const std::string name = NAME_PREFIX + std::to_string(m_decoders.size());
    m_decoders.emplace_back(new CExtr(name, address, m_player.get()));
    CExtr& decoder = *m_decoders.back();
    printf("Adding decoder:0x%012llx\n", static_cast<unsigned long long>(address));
    if (!start)
        return true;
    decoder.set_clock_rate(m_opt.rtp_clock_rate());
    decoder.set_receive_interval(m_opt.receive_interval_ms);
    decoder.set_send_log(m_send_log.get());
    decoder.open(m_opt.reflector_addr, m_opt.decoder_port);
    const run_signals::WorkerMask mask;
    decoder.start(nullptr);
    return true;
}

void CRunDevices::start_local()
{
    for (unsigned long address : m_encoders)
        m_instr->add_encoder(address, m_opt.reflector_addr, m_opt.reflector_port);
    const run_signals::WorkerMask mask;
    m_instr->start(m_opt.local_port);
}

const std::string& CRunDevices::name(size_t i) const
{
    return m_decoders[i]->name();
}

void CRunDevices::select(size_t i, bool on)
{
    m_decoders[i]->select(on);
}

bool CRunDevices::local_offline(time_t now)
{
    return m_instr->check_offline(now);
}

bool CRunDevices::player_offline(time_t now)
{
    return m_player->check_offline(now);
}

CReport::Run CRunDevices::measure() const
{
    CReport::Run run;
    run.decoders.reserve(m_decoders.size());
    for (size_t i = 0; i < m_decoders.size(); ++i) {
        const CExtr& d = *m_decoders[i];
        CReport::Decoder r;
        r.index = static_cast<int>(i);
        r.name = d.name();
        r.mac = d.address();
        r.online = d.online();
        r.stats = d.stats().snapshot();
        r.dropped_here = d.dropped_here();
        r.delay = d.delay().snapshot();
        run.decoders.push_back(std::move(r));
    }
    if (m_send_log)
        run.delay_bound_ms = m_send_log->max_span_ns() / 1e6;
    const CRtpStats::Snapshot in = m_instr->stats().snapshot();
    run.local = {in.received, in.lost, in.jitter_ms, m_instr->copies_sent(), m_instr->send_errors()};
    return run;
}
