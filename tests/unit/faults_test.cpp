// Faults on the wire: each kind changes the message as it says, the same seed draws the same
// faults, and the settings are read or refused with their reason.
#include "core/faults.h"
#include "receiver/message_check.h"
#include "unit_support.h"

namespace {

// Each kind of fault, drawn for sure: what goes on the wire differs from the clean message
// exactly as the kind says, and the same seed draws the same faults.
TEST(Faults, EachKindChangesTheMessageAsItSays) {
    const struct {
        const char *rates;
        FaultKind kind;
        int bytes; // -1: cut short, at least one byte and not all
        int copies;
        bool slow, reset;
    } kinds[] = {
        {"drop=1", FaultKind::drop, 0, 1, false, false},
        {"cut=1", FaultKind::cut, -1, 1, false, true},
        {"garble=1", FaultKind::garble, 0, 1, false, false},
        {"duplicate=1", FaultKind::duplicate, 0, 2, false, false},
        {"slow=1", FaultKind::slow, 0, 1, true, false},
        {"silence=1:30", FaultKind::silence, 0, 1, false, false},
    };
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.rates);
        // Drawn for sure: drop, cut and silence of 1 are refused as specs, so set directly.
        FaultRatesReading r;
        r.rates.probability[static_cast<std::size_t>(k.kind)] = 1;
        FaultStream a(fault_seed_of(7)), b(fault_seed_of(7));
        for (int i = 0; i < 200; ++i) {
            UnitStream<GlibcRand> unit(11 + i % 7); // tanks whose volume is blank-filled too
            char clean[MAX_MESSAGE_LENGTH + 1], faulted[MAX_MESSAGE_LENGTH + 1],
                again[MAX_MESSAGE_LENGTH + 1];
            for (int t = 0; t <= i % 40; ++t)
                unit.next(clean, "pump-7", 30);
            const int length = static_cast<int>(std::strlen(clean));
            std::memcpy(faulted, clean, sizeof clean);
            std::memcpy(again, clean, sizeof clean);
            ASSERT_EQ(draw_fault(r.rates, a), k.kind);
            ASSERT_EQ(draw_fault(r.rates, b), k.kind);
            const Wire w = apply_fault(k.kind, faulted, length, 6, a);
            EXPECT_EQ(apply_fault(k.kind, again, length, 6, b).detail, w.detail);
            EXPECT_EQ(std::string(again), faulted);
            EXPECT_EQ(w.bytes, k.bytes < 0 ? w.bytes : k.kind == FaultKind::drop ? 0 : length);
            EXPECT_TRUE(w.bytes > 0 || k.kind == FaultKind::drop);
            EXPECT_TRUE(k.bytes >= 0 || w.bytes < length);
            EXPECT_EQ(w.copies, k.copies);
            EXPECT_EQ(w.slow, k.slow);
            EXPECT_EQ(w.reset, k.reset);
            // A garble changes one digit into another and leaves the message well formed.
            size_t changed = 0;
            for (int c = 0; c < length; ++c)
                changed += clean[c] != faulted[c] ? 1 : 0;
            ASSERT_EQ(changed, k.kind == FaultKind::garble ? 1u : 0u) << faulted;
            if (k.kind == FaultKind::garble) {
                const receiver::Verdict v = receiver::check_message(faulted, Mode::keep_open);
                ASSERT_TRUE(v.ok) << v.error << ": " << faulted;
            }
        }
        // Slow pieces: 1 to 8 bytes, 50 to 500 ms apart.
        const SlowPiece p = slow_piece(100, a);
        EXPECT_TRUE(p.bytes >= 1 && p.bytes <= 8 && p.pause_ms >= 50 && p.pause_ms <= 500);
    }
}

TEST(Faults, SettingsAreReadOrRefusedWithTheirReason) {
    const struct {
        const char *rates, *error;
    } settings[] = {
        {"drop=0.01,cut=0.02,garble=0.03,duplicate=0.04,silence=0.05:30,slow=0.06", ""},
        {"drop=1.5", "drop wants a probability from 0 to 1, not \"1.5\""},
        {"lose=0.1", "unknown fault \"lose\": drop, cut, garble, duplicate, silence, slow"},
        {"silence=0.1", "silence wants P:SECONDS, e.g. silence=0.01:30"},
        {"drop=0.6,cut=0.6", "the probabilities add up to more than 1"},
        {"", "no fault named: name at least one, e.g. drop=0.01"},
        {"drop=1,drop=0", "drop is given twice"},
        {"garble=0.12345678901", ""},
        {"cut=1", "drop, cut and silence add up to 1: no message would ever arrive"},
        {"drop=0.5,silence=0.5:0",
         "drop, cut and silence add up to 1: no message would ever arrive"},
        {"drop=0.5,garble=0.5", ""},
    };
    for (const auto &s : settings)
        EXPECT_EQ(parse_faults(s.rates).error, s.error) << s.rates;
    // A probability of 0 is never drawn; the draws of mixed rates follow their shares.
    const FaultRates mixed = parse_faults("drop=0.25,garble=0.25").rates;
    FaultStream stream(fault_seed_of(1));
    int drops = 0, garbles = 0;
    for (int i = 0; i < 10000; ++i) {
        const FaultKind k = draw_fault(mixed, stream);
        drops += k == FaultKind::drop;
        garbles += k == FaultKind::garble;
        ASSERT_TRUE(k == FaultKind::drop || k == FaultKind::garble || k == FaultKind::none);
    }
    EXPECT_NEAR(drops, 2500, 200);
    EXPECT_NEAR(garbles, 2500, 200);
}

} // namespace
