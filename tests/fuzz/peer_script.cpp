#include "peer_script.h"

#include <vector>

namespace fuzz {

namespace {

constexpr uint8_t kEscape = 0xFE;
constexpr double kBaud = 9600.0;

class Scripter {
public:
    Scripter(sim::SerialPeer& peer, sim::Picos start, sim::Picos deadline) : peer_(peer), t_(start), deadline_(deadline)
    {
        summary_.end = start;
    }

    // Each returns false once the deadline would be passed: the script ends there.
    bool bytes(const std::vector<uint8_t>& run)
    {
        if (run.empty()) return true;
        if (!fits(run.size() * peer_.char_time())) return false;
        t_ = peer_.send(run, 0, t_);
        summary_.bytes += run.size();
        return done();
    }
    bool gap(sim::Picos length)
    {
        if (!fits(length)) return false;
        t_ += length;
        return true;
    }
    bool line_break(sim::Picos length)
    {
        if (!fits(length)) return false;
        t_ = peer_.send_break(length, t_);
        ++summary_.breaks;
        return done();
    }
    bool noisy(uint8_t byte, int bit)
    {
        if (!fits(peer_.char_time())) return false;
        t_ = peer_.send_noisy(byte, bit, t_);
        ++summary_.bytes;
        ++summary_.noises;
        return done();
    }
    void rate(int8_t per_mille) { peer_.set_baud(kBaud * (1.0 + per_mille / 1000.0)); }
    sim::Picos char_time() const { return peer_.char_time(); }
    ScriptSummary finish()
    {
        peer_.set_baud(kBaud);
        return summary_;
    }

private:
    bool fits(sim::Picos length) const { return t_ + length <= deadline_; }
    bool done()
    {
        summary_.end = t_;
        return true;
    }

    sim::SerialPeer& peer_;
    sim::Picos t_;
    sim::Picos deadline_;
    ScriptSummary summary_;
};

}  // namespace

ScriptSummary schedule_peer_script(sim::Board& board, const uint8_t* data, size_t size, sim::Picos start,
                                   sim::Picos deadline)
{
    Scripter script(board.dashboard, start, deadline);
    std::vector<uint8_t> run;
    size_t i = 0;
    bool going = true;
    while (going && i < size) {
        if (data[i] != kEscape) {
            run.push_back(data[i++]);
            continue;
        }
        if (i + 1 >= size) break;
        const uint8_t selector = data[i + 1];
        const int action = selector & 7;
        if (action == 5) {
            run.push_back(kEscape);
            i += 2;
            continue;
        }
        if (i + 2 >= size) break;
        const uint8_t arg = data[i + 2];
        i += 3;
        if (action == 7) {
            if (i >= size) break;
            run.insert(run.end(), arg + 1U, data[i++]);
            continue;
        }
        going = script.bytes(run);
        run.clear();
        if (!going) break;
        switch (action) {
            case 0:
                going = script.gap(sim::microseconds(100ULL * (arg + 1U)));
                break;
            case 1:
                going = script.gap(sim::milliseconds(10ULL * (arg + 1U)));
                break;
            case 2:
                going = script.line_break(sim::microseconds(100ULL * (arg + 1U)));
                break;
            case 3:
                going = script.noisy(arg, (selector >> 3) & 7);
                break;
            case 4:
                script.rate(static_cast<int8_t>(arg));
                break;
            case 6:
                going = script.gap(script.char_time() * arg / 256U);
                break;
            default:
                break;
        }
    }
    if (going) script.bytes(run);
    return script.finish();
}

}  // namespace fuzz
