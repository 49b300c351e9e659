// The run's devices: the player relay, the local-stream relay and the emulated decoders, with
// their one owner, which adds decoders and takes the snapshot every output is written from.
#pragma once

#include "CReport.h"

#include <time.h>

#include <memory>
#include <string>
#include <vector>

class CExtr;
class CInstr;
class CPlayer;
class CSendLog;
struct options;

// Lives for the whole run: the decoders' threads run until the process ends. The console turns
// keystrokes into select() and table(); the measured run and the ramp read measure().
class CRunDevices {
public:
    // decoders: the addresses the run may give its decoders, in creation order; encoders:
    // those of its encoders.
    CRunDevices(const options& opt, std::vector<unsigned long> decoders,
                std::vector<unsigned long> encoders = {});
    ~CRunDevices();
    CRunDevices(const CRunDevices&) = delete;
    CRunDevices& operator=(const CRunDevices&) = delete;

    // Opens the player relay's socket and binds the local port; false after one line on
    // standard error when the local port can't be had.
    bool open();
    // Creates and starts the next decoder; false when every address is taken. start false:
    // created only, for a caller that drives it on its own clock.
    bool add_decoder(bool start = true);
    // Registers the encoders and starts the local stream's receiving thread.
    void start_local();

    size_t created() const { return m_decoders.size(); }
    size_t available() const { return m_addresses.size(); }
    const std::string& name(size_t i) const;
    void select(size_t i, bool on);

    // True once when that relay's stream has gone silent (it then reports it offline).
    bool local_offline(time_t now);
    bool player_offline(time_t now);

    // The measurements of every device as they stand.
    CReport::Run measure() const;

    CExtr& decoder(size_t i) { return *m_decoders[i]; }
    CPlayer& player() { return *m_player; }
    CInstr& instr() { return *m_instr; }

private:
    const options& m_opt;
    std::vector<unsigned long> m_addresses;
    std::vector<unsigned long> m_encoders;
    // When each copy of the local stream left: the decoders that hear one back know its delay.
    std::unique_ptr<CSendLog> m_send_log;
    std::unique_ptr<CPlayer> m_player;
    std::unique_ptr<CInstr> m_instr;
    std::vector<std::unique_ptr<CExtr>> m_decoders;
};
