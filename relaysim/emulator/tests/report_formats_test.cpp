// Tests of the outputs of a measured run: each format for a fixed run, parsed back; verdicts.
#include "report_formats.h"

#include "CDelayStats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

CRtpStats::Snapshot stats(unsigned long long received, unsigned long long expected,
                          unsigned long long lost, unsigned long long duplicates,
                          unsigned long long reordered, double jitter_ms, double max_gap_ms,
                          unsigned int ssrc = 0)
{
    CRtpStats::Snapshot s;
    s.received = received;
    s.expected = expected;
    s.distinct = expected - lost;
    s.lost = lost;
    s.duplicates = duplicates;
    s.reordered = reordered;
    s.jitter_ms = jitter_ms;
    s.max_gap_ms = max_gap_ms;
    s.ssrc = ssrc;
    return s;
}

CReport::Run fixed_run()
{
    CReport::Run run;
    run.duration_s = 60;
    run.startup_s = 2.5;
    run.clock_rate = 8000;
    run.decoders.push_back({0, "ORVANTEX - 0", 0x0A1B2C3D4E5FUL, true,
                            stats(98, 100, 4, 2, 1, 1.25, 40, 0x52000000), 0, 0, 0, {}});
    // Two sources reached it: one change of SSRC, and datagrams that were not RTP.
    run.decoders[0].stats.strays = 1;
    run.decoders[0].stats.ssrc_changes = 1;
    run.decoders[0].stats.unanalysed = 3;
    run.decoders[0].jitter_ms_worst = 2.5;
    run.decoders.push_back({1, "say \"hi\"\\\x01", 0xFFUL, false, stats(0, 0, 0, 0, 0, 0, 0), 0, 0, 0, {}});
    run.local = {500, 1, 0.5, 1000, 2};
    run.thresholds.max_loss_percent = 5;
    return run;
}

TEST(ReportFormatsTest, JsonHasTheKeysValuesAndEscapes)
{
    const std::string expected =
        "{\n"
        "  \"duration_s\": 60,\n"
        "  \"startup_s\": 2.5,\n"
        "  \"clock_rate\": 8000,\n"
        "  \"decoders\": [\n"
        "    {\"index\": 0, \"name\": \"ORVANTEX - 0\", \"mac\": \"0a:1b:2c:3d:4e:5f\", "
        "\"ssrc\": 1375731712, \"received\": 98, \"expected\": 100, \"distinct\": 96, "
        "\"lost\": 4, \"lost_silent\": 0, \"duplicates\": 2, \"reordered\": 1, \"strays\": 1, "
        "\"ssrc_changes\": 1, \"unanalysed\": 3, \"jitter_ms\": 1.25, \"jitter_ms_worst\": 2.5, "
        "\"max_gap_ms\": 40, \"online\": true, "
        "\"dropped_here\": 0, \"delay\": null},\n"
        "    {\"index\": 1, \"name\": \"say \\\"hi\\\"\\\\\\u0001\", \"mac\": \"00:00:00:00:00:ff\", "
        "\"ssrc\": 0, \"received\": 0, \"expected\": 0, \"distinct\": 0, \"lost\": 0, "
        "\"lost_silent\": 0, \"duplicates\": 0, \"reordered\": 0, \"strays\": 0, "
        "\"ssrc_changes\": 0, \"unanalysed\": 0, \"jitter_ms\": 0, \"jitter_ms_worst\": 0, "
        "\"max_gap_ms\": 0, \"online\": false, "
        "\"dropped_here\": 0, \"delay\": null}\n"
        "  ],\n"
        "  \"local_stream\": {\"received\": 500, \"lost\": 1, \"jitter_ms\": 0.5, "
        "\"copies_sent\": 1000, \"send_errors\": 2},\n"
        "  \"totals\": {\"decoders\": 2, \"online\": 1, \"received\": 98, \"expected\": 100, "
        "\"distinct\": 96, \"lost\": 4, \"lost_silent\": 0, \"duplicates\": 2, \"reordered\": 1, "
        "\"strays\": 1, \"ssrc_changes\": 1, "
        "\"unanalysed\": 3, \"loss_percent\": 4, \"jitter_ms_max\": 1.25, \"jitter_ms_worst\": 2.5, "
        "\"max_gap_ms\": 40, \"dropped_here\": 0, \"network_lost\": 4, \"network_loss_percent\": 4, \"delay\": null},\n"
        "  \"delay_bound_ms\": 0,\n"
        "  \"relaysim_cpu_percent\": 0, \"cores\": 0,\n"
        "  \"stall_s\": 0, \"stall_at_s\": 0,\n"
        "  \"ended\": \"running\", \"signal\": null, \"requested_duration_s\": null, "
        "\"judged_from_s\": null, \"judged_s\": 0,\n"
        "  \"thresholds\": {\"max_loss_percent\": 5, \"max_jitter_ms\": null, \"max_delay_ms\": null},\n"
        "  \"verdict\": \"fail\", \"why\": \"loss 4.00%, limit 5%; 1 of 2 decoders received nothing\"\n"
        "}\n";
    EXPECT_EQ(report_formats::json(CReport::result(fixed_run())), expected);

    CReport::Run empty;
    const std::string text = report_formats::json(CReport::result(empty));
    EXPECT_NE(text.find("\"decoders\": [],\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"startup_s\": null,\n"), std::string::npos) << text;

    // Numbers read back as the values written, however long.
    CReport::Run extreme = fixed_run();
    extreme.duration_s = 0.1 + 0.2;
    extreme.thresholds.max_jitter_ms = 1e300;
    extreme.decoders[0].stats.jitter_ms = 5219769.123456789;
    const std::string long_numbers = report_formats::json(CReport::result(extreme));
    for (const char* number : {"\"duration_s\": 0.30000000000000004,", "\"max_jitter_ms\": 1e+300,",
                               "\"jitter_ms\": 5219769.123456789,"})
        EXPECT_NE(long_numbers.find(number), std::string::npos) << number;
}

// One function decides; the summary line, the JSON and the exit status print its answer.
TEST(ReportFormatsTest, OneStatusIsSaidTheSameEverywhere)
{
    // What the run received: the served decoder alone, that one and a silent one, nothing, the
    // served decoder alone but offline at the end (its stream stopped).
    enum Served { ONE, ONE_AND_SILENT, NONE, STOPPED };
    // How the run went, besides what it received.
    enum Kind { ENDED, SIGNAL_EARLY, SIGNAL_OPEN, STALLED, SATURATED, TOO_SHORT, RAMP_BROKE,
                RAMP_OWN, RAMP_CUT };
    struct Case {
        std::string name;
        std::optional<double> max_loss, max_jitter;
        Served served;
        Kind kind;
        int exit_status;
        std::string line;  // of the summary, after "verdict: "
    };
    // The served decoder loses 4.000 %; its worst jitter was 2.5 ms, its last estimate 1.25 ms.
    const std::vector<Case> cases = {
        {"no thresholds", {}, {}, ONE, ENDED, 0, "pass (no thresholds)"},
        {"no thresholds, nothing received", {}, {}, NONE, ENDED, 3, "fail (nothing received)"},
        {"loss under", 5.0, {}, ONE, ENDED, 0, "pass (loss 4.00%, limit 5%)"},
        {"loss equal", 4.0, {}, ONE, ENDED, 0, "pass (loss 4.00%, limit 4%)"},
        {"loss over", 3.9, {}, ONE, ENDED, 3, "fail (loss 4.00%, limit 3.9%)"},
        {"worst jitter equal", {}, 2.5, ONE, ENDED, 0, "pass (worst jitter 2.50 ms, limit 2.5 ms)"},
        {"worst jitter over, last estimate under", {}, 2.0, ONE, ENDED, 3,
         "fail (worst jitter 2.50 ms, limit 2 ms)"},
        {"one of two fails", 4.0, 2.4, ONE, ENDED, 3,
         "fail (loss 4.00%, limit 4%; worst jitter 2.50 ms, limit 2.4 ms)"},
        {"a decoder never served", 5.0, {}, ONE_AND_SILENT, ENDED, 3,
         "fail (loss 4.00%, limit 5%; 1 of 2 decoders received nothing)"},
        {"a decoder never served, jitter only", {}, 3.0, ONE_AND_SILENT, ENDED, 3,
         "fail (worst jitter 2.50 ms, limit 3 ms; 1 of 2 decoders received nothing)"},
        {"a stream that stopped: its silence is in the loss", 5.0, {}, STOPPED, ENDED, 0,
         "pass (loss 4.00%, limit 5%; 1 of 1 decoders stopped receiving)"},
        {"loss threshold, nothing received", 100.0, {}, NONE, ENDED, 3, "fail (nothing received)"},
        {"cut short by a signal", 5.0, {}, ONE, SIGNAL_EARLY, 130,
         "inconclusive (cut short by SIGINT after 30.0 s of the 50 s asked for)"},
        {"a signal ends a run without --duration", 5.0, {}, ONE, SIGNAL_OPEN, 143,
         "pass (loss 4.00%, limit 5%)"},
        {"relaysim stalled", 5.0, {}, ONE, STALLED, 4,
         "inconclusive (relaysim stalled 10.0 s at 20.0 s: it missed its own schedule)"},
        {"relaysim saturated its cores", 5.0, {}, ONE, SATURATED, 4,
         "inconclusive (relaysim used 90% of its 2 cores: the run measured relaysim)"},
        {"ended before the first requests", 5.0, {}, NONE, TOO_SHORT, 4,
         "inconclusive (ended before every decoder's first request had gone out: too short to "
         "hear anything)"},
        {"a ramp step broke, the whole run within the limit", 20.0, {}, ONE, RAMP_BROKE, 3,
         "fail (capacity 4 decoders; step 2 broke: loss 16.44%, limit 1%)"},
        {"a ramp found relaysim's own limit", 20.0, {}, ONE, RAMP_OWN, 4,
         "inconclusive (capacity at least 4 decoders; step 2 found relaysim's own limit: "
         "relaysim used 95% of the CPU)"},
        {"a ramp cut short", 20.0, {}, ONE, RAMP_CUT, 130,
         "inconclusive (ramp ended during step 2, capacity so far 4 decoders)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CReport::Run run = fixed_run();
        run.judged_from_s = 10;
        run.ending = CReport::Run::DURATION;
        if (c.served != ONE_AND_SILENT)
            run.decoders.resize(1);
        if (c.served == NONE)
            run.decoders[0].stats = CRtpStats::Snapshot();
        run.decoders[0].online = c.served != STOPPED;
        run.thresholds.max_loss_percent = c.max_loss;
        run.thresholds.max_jitter_ms = c.max_jitter;
        if (c.kind == SIGNAL_EARLY || c.kind == SIGNAL_OPEN || c.kind == RAMP_CUT) {
            run.ending = CReport::Run::SIGNAL;
            run.signal = c.kind == SIGNAL_OPEN ? SIGTERM : SIGINT;
            run.duration_s = 40;
            if (c.kind == SIGNAL_EARLY)
                run.requested_s = 50;
        }
        if (c.kind == STALLED) {
            run.stall_s = 10;
            run.stall_at_s = 20;
        }
        if (c.kind == SATURATED) {
            run.cpu_percent = 90;
            run.cores = 2;
        }
        if (c.kind == TOO_SHORT)
            run.judged_from_s.reset();
        if (c.kind >= RAMP_BROKE) {
            CReport::Step held, last;
            held.number = 1;
            held.decoders = 4;
            last.number = 2;
            last.decoders = 6;
            last.verdict = c.kind == RAMP_OWN ? CReport::Step::OWN_LIMIT : CReport::Step::BROKE;
            last.why = c.kind == RAMP_OWN ? "relaysim used 95% of the CPU" : "loss 16.44%, limit 1%";
            run.ramp = CReport::Ramp{{held, last}, 2, 6, 4, c.kind != RAMP_CUT};
            if (c.kind == RAMP_CUT)
                run.ramp->steps.pop_back();
        }
        const CReport::Result r = CReport::result(run);
        EXPECT_EQ(r.verdict.exit_status, c.exit_status);
        EXPECT_EQ(report_formats::verdict(r), "verdict: " + c.line + "\n");
        const std::string word = c.line.substr(0, c.line.find(' '));
        EXPECT_NE(report_formats::json(r).find("\"verdict\": \"" + word + "\", \"why\": "),
                  std::string::npos);
    }
}

TEST(ReportFormatsTest, DatagramsDroppedHereMakeTheRunInconclusiveInEveryOutput)
{
    // Of the 4 lost, 3 were dropped by relaysim's own socket: 1 % network loss.
    CReport::Run run = fixed_run();
    run.decoders.resize(1);
    run.decoders[0].dropped_here = 3;
    run.thresholds.max_loss_percent = 2;
    EXPECT_EQ(CReport::result(run).verdict.exit_status, 4);
    EXPECT_EQ(report_formats::verdict(CReport::result(run)),
              "verdict: inconclusive (relaysim itself dropped 3 datagrams it read too late, network "
              "loss 1.00%: the run measured relaysim, not the reflector)\n");
    const std::string json = report_formats::json(CReport::result(run));
    for (const char* part : {"\"dropped_here\": 3, \"delay\": null}", "\"dropped_here\": 3, \"network_lost\": 1, "
                             "\"network_loss_percent\": 1, \"delay\": null}", "\"verdict\": \"inconclusive\""})
        EXPECT_NE(json.find(part), std::string::npos) << part;
    EXPECT_NE(report_formats::prometheus(CReport::result(run)).find(
                  "relaysim_decoder_dropped_here_total{relaysim=\"\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 3\n"),
              std::string::npos);
    const std::string row = report_formats::csv_row(CReport::result(run), CReport::Result());
    EXPECT_EQ(row.substr(row.rfind(",3,")), ",3,0,0,,,2.5,0,0,0\n") << row;
    const std::string table = report_formats::table(CReport::result(run));
    EXPECT_NE(table.find("online  dropped here\n"), std::string::npos) << table;
    EXPECT_NE(table.find("yes             3\n"), std::string::npos) << table;
    run.decoders[0].dropped_here = 0;
    EXPECT_EQ(report_formats::table(CReport::result(run)).find("dropped here"), std::string::npos);
}

TEST(ReportFormatsTest, TableRowsAreAlignedWithATotalsRow)
{
    const std::string text = report_formats::table(CReport::result(fixed_run()));
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    // header, 2 decoders, totals, local, the mark's note, run and start-up, local counts
    ASSERT_EQ(lines.size(), 8u) << text;
    for (size_t i = 1; i < 5; ++i)
        EXPECT_EQ(lines[i].size(), lines[0].size()) << lines[i];
    // Columns end at the same place in every row.
    auto cell_ending_with = [&](size_t row, const char* column, size_t width) {
        const size_t end = lines[0].find(column) + strlen(column);
        return lines[row].substr(end - width, width);
    };
    EXPECT_EQ(cell_ending_with(1, "received", 2), "98");
    EXPECT_EQ(cell_ending_with(3, "received", 2), "98");
    EXPECT_EQ(cell_ending_with(1, "lost %", 4), "4.00");
    EXPECT_EQ(cell_ending_with(1, "strays", 2), " 1");
    EXPECT_EQ(cell_ending_with(1, "ssrc changes", 2), " 1");
    EXPECT_EQ(cell_ending_with(1, "unanalysed", 2), " 3");
    EXPECT_EQ(cell_ending_with(3, "unanalysed", 2), " 3");
    EXPECT_EQ(lines[1].find("ORVANTEX - 0 * "), 7u) << "the mark of a decoder that got two sources";
    EXPECT_EQ(lines[2].find('*'), std::string::npos);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 3), "yes");
    EXPECT_EQ(lines[3].substr(0, 5), "total");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 3), "1/2");
    EXPECT_EQ(lines[5], "* more than one source (ssrc changes) or datagrams that are not RTP: not one "
                        "stream's figures");
    EXPECT_EQ(lines[6], "run: 60.0 s, of which start-up 2.5 s");
    EXPECT_EQ(lines[7], "local stream: copies sent 1000, send errors 2");
}

// Parses a CSV of the writer into columns by header name.
std::map<std::string, std::vector<double>> parse_csv(const std::string& text)
{
    std::map<std::string, std::vector<double>> cols;
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> names;
    std::getline(in, line);
    std::istringstream header(line);
    for (std::string n; std::getline(header, n, ',');)
        names.push_back(n);
    while (std::getline(in, line)) {
        // An empty field (no delay measured) reads as NaN; a last empty one counts too.
        size_t i = 0;
        for (size_t from = 0; from <= line.size(); ++i) {
            const size_t comma = std::min(line.find(',', from), line.size());
            const std::string v = line.substr(from, comma - from);
            if (i < names.size())
                cols[names[i]].push_back(v.empty() ? NAN : std::stod(v));
            from = comma + 1;
        }
        EXPECT_EQ(i, names.size()) << line;
    }
    return cols;
}

TEST(ReportFormatsTest, CsvColumnsSumToTheRunTotals)
{
    CReport::Run run = fixed_run();  // start-up ends at 2.5 s
    CReport::Run before;  // the first row counts from zero
    // Cumulative counts at three instants; lost falls once when late datagrams fill holes.
    const struct {
        unsigned long long received, expected, lost, dups, reordered, local, copies, errors;
    } at[] = {
        {50, 52, 2, 0, 0, 250, 500, 0},
        {80, 83, 5, 1, 1, 400, 800, 1},
        {98, 100, 3, 2, 1, 500, 1000, 2},
    };
    std::string text = report_formats::csv_header();
    for (int i = 0; i < 3; ++i) {
        run.decoders[0].stats = stats(at[i].received, at[i].expected, at[i].lost, at[i].dups,
                                      at[i].reordered, 1.25, 40);
        run.local.received = at[i].local;
        run.local.copies_sent = at[i].copies;
        run.local.send_errors = at[i].errors;
        run.duration_s = i + 1.5;
        if (i == 2)
            run.ramp = CReport::Ramp{{}, 2, 4, 2, false};
        text += report_formats::csv_row(CReport::result(run), CReport::result(before));
        before = run;
    }
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "time_s,decoders_online,received,lost,duplicates,reordered,jitter_ms_max,"
              "local_received,copies_sent,send_errors,recovered,strays,ssrc_changes,unanalysed,"
              "startup,dropped_here,step,delay_matched,delay_p50_ms,delay_p99_ms,jitter_ms_worst,"
              "stall_s,stall_at_s,cpu_percent\n");
    auto cols = parse_csv(text);
    auto sum = [&](const char* name) {
        double s = 0;
        for (double v : cols[name])
            s += v;
        return s;
    };
    ASSERT_EQ(cols["time_s"].size(), 3u);
    EXPECT_EQ(cols["time_s"], (std::vector<double>{1.5, 2.5, 3.5}));
    EXPECT_EQ(cols["startup"], (std::vector<double>{1, 1, 0}));
    EXPECT_EQ(cols["lost"], (std::vector<double>{2, 3, 0}));
    EXPECT_EQ(cols["recovered"], (std::vector<double>{0, 0, 2}));
    EXPECT_EQ(cols["step"], (std::vector<double>{0, 0, 2}));
    EXPECT_EQ(sum("received"), 98);
    EXPECT_EQ(sum("duplicates"), 2);
    EXPECT_EQ(sum("reordered"), 1);
    EXPECT_EQ(sum("local_received"), 500);
    EXPECT_EQ(sum("copies_sent"), 1000);
    EXPECT_EQ(sum("send_errors"), 2);
    EXPECT_EQ(cols["decoders_online"], (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(cols["jitter_ms_max"], (std::vector<double>{1.25, 1.25, 1.25}));
}

TEST(ReportFormatsTest, ARampReportsItsStepsAndCapacityInEveryFormat)
{
    CReport::Run run = fixed_run();
    CReport::Step held;
    held.number = 1;
    held.decoders = 4;
    held.from_s = 2.25;
    held.to_s = 6;
    held.received = held.expected = 750;
    held.jitter_ms_max = 0.5;
    held.cpu_share = 0.02;
    CReport::Step broke = held;
    broke.number = 2;
    broke.decoders = 6;
    broke.received = 940;
    broke.expected = 1125;
    broke.lost = 185;
    broke.loss_percent = 16.4444;
    broke.verdict = CReport::Step::BROKE;
    broke.why = "loss 16.44%, limit 1%";
    run.ramp = CReport::Ramp{{held, broke}, 2, 6, 4, true};

    EXPECT_EQ(report_formats::ramp(CReport::result(run)),
              "step  decoders  received  lost  loss %  worst jitter ms  dropped here  cpu %  verdict\n"
              "   1         4       750     0    0.00             0.50             0      2  held\n"
              "   2         6       940   185   16.44             0.50             0      2  broke: loss 16.44%, limit 1%\n"
              "capacity: 4 decoders (step 2, 6 decoders, broke: loss 16.44%, limit 1%)\n");
    const std::string json = report_formats::json(CReport::result(run));
    EXPECT_NE(json.find("\n    {\"step\": 2, \"decoders\": 6, \"from_s\": 2.25, \"to_s\": 6, "
                        "\"received\": 940, \"expected\": 1125, \"lost\": 185, \"loss_percent\": 16.4444, "
                        "\"jitter_ms_max\": 0.5, \"dropped_here\": 0, \"silent\": 0, \"cpu_share\": 0.02, "
                        "\"delay\": null, \"verdict\": \"broke\", \"why\": \"loss 16.44%, limit 1%\"}\n  ],\n"
                        "  \"capacity\": 4,\n  \"ramp_end\": \"broke\",\n"),
              std::string::npos)
        << json;
    const std::string prom = report_formats::prometheus(CReport::result(run));
    for (const char* line : {"relaysim_ramp_step{relaysim=\"\"} 2", "relaysim_ramp_step_decoders{relaysim=\"\"} 6",
                             "relaysim_ramp_capacity_decoders{relaysim=\"\"} 4"})
        EXPECT_NE(prom.find(std::string("\n") + line + "\n"), std::string::npos) << line;

    // relaysim's own limit, and a ramp ended before its end.
    run.ramp->steps[1].verdict = CReport::Step::OWN_LIMIT;
    run.ramp->steps[1].why = "relaysim dropped 12 datagrams itself";
    const std::string own = report_formats::ramp(CReport::result(run));
    EXPECT_EQ(own.substr(own.rfind("capacity")),
              "capacity: at least 4 decoders; the limit found is relaysim's own, not the reflector's "
              "(step 2, 6 decoders: relaysim dropped 12 datagrams itself)\n");
    run.ramp->steps.pop_back();
    run.ramp->ended = false;
    const std::string unfinished = report_formats::ramp(CReport::result(run));
    EXPECT_EQ(unfinished.substr(unfinished.rfind("capacity")),
              "capacity so far: 4 decoders (ended during step 2, 6 decoders)\n");
}

TEST(ReportFormatsTest, PrometheusTextIsWellFormed)
{
    CReport::Run run = fixed_run();
    run.instance = "rack-1";
    const std::string text = report_formats::prometheus(CReport::result(run));
    for (const char* line : {
             "relaysim_decoders_online{relaysim=\"rack-1\"} 1",
             "# TYPE relaysim_decoder_received_total counter",
             "relaysim_decoder_received_total{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 98",
             "relaysim_decoder_received_total{relaysim=\"rack-1\",index=\"1\",mac=\"00:00:00:00:00:ff\"} 0",
             // The loss falls when a late datagram fills a hole: a gauge, beside two counters.
             "# TYPE relaysim_decoder_lost gauge",
             "relaysim_decoder_lost{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 4",
             "# TYPE relaysim_decoder_expected_total counter",
             "relaysim_decoder_expected_total{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 100",
             "# TYPE relaysim_decoder_received_distinct_total counter",
             "relaysim_decoder_received_distinct_total{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 96",
             "relaysim_decoder_strays_total{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 1",
             "relaysim_decoder_ssrc_changes_total{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 1",
             "relaysim_decoder_unanalysed_total{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 3",
             "# TYPE relaysim_decoder_jitter_seconds gauge",
             "relaysim_decoder_jitter_seconds{relaysim=\"rack-1\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 0.00125",
             "relaysim_local_received_total{relaysim=\"rack-1\"} 500",
             "relaysim_run_ended{relaysim=\"rack-1\"} 0",
         })
        EXPECT_NE(text.find(std::string("\n") + line + "\n"), std::string::npos) << line;

    // Every sample follows the HELP and TYPE of its own metric, and its value is a number.
    std::set<std::string> described;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            described.insert(line.substr(7, line.find(' ', 7) - 7));
            continue;
        }
        const size_t name_end = line.find_first_of("{ ");
        ASSERT_NE(name_end, std::string::npos) << line;
        std::string name = line.substr(0, name_end);
        // A histogram's samples carry a suffix of the one name described.
        for (const char* suffix : {"_bucket", "_sum", "_count"})
            if (!described.count(name) && name.size() > strlen(suffix) &&
                name.compare(name.size() - strlen(suffix), std::string::npos, suffix) == 0)
                name.resize(name.size() - strlen(suffix));
        EXPECT_EQ(described.count(name), 1u) << line;
        // Every sample names its instance, so that several can share one collector.
        EXPECT_EQ(line.find("{relaysim=\"rack-1\"", name_end), name_end) << line;
        const std::string value = line.substr(line.rfind(' ') + 1);
        char* end = nullptr;
        strtod(value.c_str(), &end);
        EXPECT_TRUE(!value.empty() && *end == '\0') << line;
    }

    // A finished run says so, and when, so that a dashboard tells it from a live one.
    run.ending = CReport::Run::DURATION;
    run.ended_at_unix_s = 1765000000.5;
    const std::string ended = report_formats::prometheus(CReport::result(run));
    EXPECT_EQ(text.find("relaysim_run_ended_timestamp_seconds"), std::string::npos);
    for (const char* line : {"relaysim_run_ended{relaysim=\"rack-1\"} 1",
                             "relaysim_run_ended_timestamp_seconds{relaysim=\"rack-1\"} 1765000000.5"})
        EXPECT_NE(ended.find(std::string("\n") + line + "\n"), std::string::npos) << line;

    // The instance name is the file's name; any character a file name may hold is escaped.
    const struct {
        const char* path;
        const char* label;
    } names[] = {{"/var/lib/prometheus/node-exporter/rack-1.prom", "relaysim=\"rack-1\""},
                 {"run.prom.txt", "relaysim=\"run.prom.txt\""},
                 {"d/.prom", "relaysim=\".prom\""},
                 {"a\"b\\c\nd.prom", "relaysim=\"a\\\"b\\\\c\\nd\""}};
    for (const auto& name : names) {
        run.instance = report_formats::prom_instance(name.path);
        EXPECT_NE(report_formats::prometheus(CReport::result(run)).find(std::string("\nrelaysim_decoders_online{") +
                                                        name.label + "} 1\n"),
                  std::string::npos)
            << name.path;
    }

    if (system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed";
    FILE* check = popen("promtool check metrics", "w");
    ASSERT_NE(check, nullptr);
    fputs(text.c_str(), check);
    EXPECT_EQ(pclose(check), 0);
}

// A late datagram that fills a hole lowers the loss; Prometheus reads a counter that falls as
// a reset, so no counter may fall.
TEST(ReportFormatsTest, PrometheusCountersNeverFall)
{
    CRtpStats stats;
    CReport::Run run = fixed_run();
    std::map<std::string, double> last;
    unsigned char p[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
    for (unsigned char seq : {1, 2, 4, 5, 3, 6}) {
        p[3] = seq;
        stats.on_datagram(p, sizeof(p), {10, seq * 20000000L});
        run.decoders[0].stats = stats.snapshot();
        std::istringstream in(report_formats::prometheus(CReport::result(run)));
        std::set<std::string> counters;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("# TYPE ", 0) == 0 && line.substr(line.rfind(' ') + 1) == "counter")
                counters.insert(line.substr(7, line.find(' ', 7) - 7));
            const std::string series = line.substr(0, line.rfind(' '));
            if (line[0] == '#' || counters.count(series.substr(0, series.find('{'))) == 0)
                continue;
            const double value = std::stod(line.substr(line.rfind(' ') + 1));
            EXPECT_GE(value, last[series]) << series << " after " << int(seq);
            last[series] = value;
        }
    }
    EXPECT_EQ(last["relaysim_decoder_expected_total{relaysim=\"\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"}"], 6);
}

// A stream that falls silent should have delivered one datagram per spacing of its silence;
// one still flowing (its last datagram a moment ago) counts nothing.
TEST(ReportFormatsTest, ASilentStreamCountsWhatItShouldHaveDelivered)
{
    const struct {
        const char* name;
        unsigned int timestamp_step;  // 0: the sender's clock stands still
        long long silence_ms;         // after the last of 50 datagrams, 20 ms apart
        unsigned long long tail;
        bool stray = false;           // a lone datagram far out of line 1 s into the silence
    } cases[] = {
        {"flowing", 160, 15, 0},
        {"within the grace", 160, 500, 0},
        {"silent 2 s", 160, 2000, 100},
        {"silent 2 s, timed by arrivals", 0, 2000, 100},
        {"a 40 ms spacing by its timestamps", 320, 2000, 50},
        {"a starved stream's lone stray does not end its silence", 160, 2000, 100, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRtpStats stats;
        unsigned char p[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
        for (int i = 0; i < 50; ++i) {
            p[3] = static_cast<unsigned char>(i);
            const unsigned int ts = i * c.timestamp_step;
            p[6] = static_cast<unsigned char>(ts >> 8);
            p[7] = static_cast<unsigned char>(ts);
            stats.on_datagram(p, sizeof(p), {100, i * 20000000L});
        }
        const long long last_ns = 100LL * 1000000000LL + 49 * 20000000LL;
        if (c.stray) {
            p[3] = 49 + 150;
            stats.on_datagram(p, sizeof(p), {101, 980000000L});
        }
        EXPECT_EQ(CReport::silent_tail(stats.snapshot(), last_ns + c.silence_ms * 1000000LL, 0.5), c.tail);
    }
    EXPECT_EQ(CReport::silent_tail(CRtpStats::Snapshot(), 1LL << 62, 0.5), 0u) << "nothing received";
}

}  // namespace

TEST(ReportFormatsTest, DelayIsShownWhereMeasuredAndJudgedOnItsP99)
{
    CReport::Run run = fixed_run();
    CDelayStats delay;
    for (int i = 0; i < 99; ++i)
        delay.add(5000000);  // 5 ms
    delay.add(80000000);     // one at 80 ms: the p99 is still 5 ms (5.125, its bucket's middle)
    run.decoders[0].delay = delay.snapshot();
    run.delay_bound_ms = 0.012;
    run.thresholds = {};
    run.thresholds.max_delay_ms = 4;

    const std::string json = report_formats::json(CReport::result(run));
    for (const char* part : {"\"delay\": {\"matched\": 100, \"p50_ms\": 5.125, \"p99_ms\": 5.125, \"max_ms\": 80}},\n",
                             "\"delay\": null}\n", "\"delay_bound_ms\": 0.012,",
                             "\"max_delay_ms\": 4},", "\"verdict\": \"fail\""})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    const std::string table = report_formats::table(CReport::result(run));
    EXPECT_NE(table.find("online  delay p99 ms\n"), std::string::npos) << table;
    EXPECT_NE(table.find("no             -\n"), std::string::npos) << "no delay heard: -\n" << table;
    EXPECT_NE(table.find("delay through the reflector: 100 matched, p50 5.12 ms, p99 5.12 ms, max "
                         "80.00 ms (send times within 0.012 ms)\n"),
              std::string::npos)
        << table;
    run.decoders.pop_back();  // a decoder that received nothing fails any threshold
    EXPECT_EQ(report_formats::verdict(CReport::result(run)), "verdict: fail (delay p99 5.12 ms, limit 4 ms)\n");
    run.thresholds.max_delay_ms = 5.2;
    EXPECT_EQ(CReport::result(run).verdict.exit_status, 0);

    // Cumulative buckets: 99 up to 8 ms, all 100 by 128 ms.
    const std::string prom = report_formats::prometheus(CReport::result(run));
    for (const char* line : {"relaysim_delay_seconds_bucket{relaysim=\"\",le=\"0.004\"} 0",
                             "relaysim_delay_seconds_bucket{relaysim=\"\",le=\"0.008\"} 99",
                             "relaysim_delay_seconds_bucket{relaysim=\"\",le=\"0.064\"} 99",
                             "relaysim_delay_seconds_bucket{relaysim=\"\",le=\"0.128\"} 100",
                             "relaysim_delay_seconds_bucket{relaysim=\"\",le=\"+Inf\"} 100",
                             "relaysim_delay_seconds_sum{relaysim=\"\"} 0.575",
                             "relaysim_delay_seconds_count{relaysim=\"\"} 100",
                             "relaysim_decoder_delay_p99_seconds{relaysim=\"\",index=\"0\",mac=\"0a:1b:2c:3d:4e:5f\"} 0.005125"})
        EXPECT_NE(prom.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(prom.find("delay_p99_seconds{relaysim=\"\",index=\"1\""), std::string::npos);
    const std::string row = report_formats::csv_row(CReport::result(run), CReport::Result());
    EXPECT_EQ(row.substr(row.rfind(",100,")), ",100,5.125,5.125,2.5,0,0,0\n") << row;
}

TEST(ReportFormatsTest, ConsoleTableFitsAScreenWorstFirst)
{
    // Four decoders: losses 0, 5, 5 and 1 % (the two at 5 % told apart by jitter), with the
    // widest figures a run of ten thousand gives, delay and drops of its own included.
    CReport::Run run;
    CDelayStats delay;
    delay.add(123456789);
    const struct {
        unsigned long long lost;
        double jitter;
    } figures[] = {{0, 1}, {5, 2}, {5, 9}, {1, 1}};
    for (int i = 0; i < 4; ++i) {
        CReport::Decoder d;
        d.index = 9996 + i;
        d.name = "ORVANTEX - " + std::to_string(d.index);
        d.stats = stats(999999999 - figures[i].lost * 10000000, 1000000000, figures[i].lost * 10000000, 0,
                        0, figures[i].jitter, 99999.9, 1);
        d.stats.ssrc_changes = 1;  // marked as mixed: the widest name
        d.dropped_here = 123456;
        d.delay = delay.snapshot();
        run.decoders.push_back(d);
    }
    const std::string text = report_formats::console_table(CReport::result(run), 2);
    std::istringstream lines(text);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 5u) << text;
    EXPECT_EQ(rows[1].substr(0, 22), " 9998  ORVANTEX - 9998") << "5 %, jitter 9";
    EXPECT_EQ(rows[2].substr(0, 22), " 9997  ORVANTEX - 9997") << "5 %, jitter 2";
    EXPECT_EQ(rows[4], "(2 more decoders; the worst are shown first; w: every decoder and column)");
}
