#include "report.h"

#include <algorithm>
#include <cmath>

#include "camera_sensor_control.h"

namespace camera_sim {

namespace {

// The first frame of the phase from which `settled` holds to the phase's
// end, counted from the phase's start; -1 if the last frame is not settled.
int FramesUntilSettled(const Run& run, uint32_t phase, bool FrameRow::*settled) {
    int first = -1;
    int index = 0;
    for (const FrameRow& row : run.frames) {
        if (row.phase != phase) continue;
        if (!(row.*settled))
            first = -1;
        else if (first < 0)
            first = index;
        ++index;
    }
    return first < 0 ? -1 : first + 1;
}

std::vector<uint32_t> PhaseLuminance(const Run& run, uint32_t phase) {
    std::vector<uint32_t> luma;
    for (const FrameRow& row : run.frames) {
        if (row.phase == phase && row.record.SnapshotDelivered == 0 &&
            row.record.Frame < run.phases[phase].firstFrame + run.phases[phase].frames)
            luma.push_back(Unpack(row.record.Statistics).luminance);
    }
    return luma;
}

void MeasureWander(const std::vector<uint32_t>& luma, PhaseSummary* summary) {
    const size_t window = std::min<size_t>(kWanderWindow, luma.size());
    if (window < 2) return;
    const auto begin = luma.end() - window;
    summary->wanderSpan =
        *std::max_element(begin, luma.end()) - *std::min_element(begin, luma.end());
    double sum = 0, squares = 0;
    for (auto it = begin + 1; it != luma.end(); ++it) {
        const double change = double(*it) - double(*(it - 1));
        sum += change;
        squares += change * change;
    }
    const double n = double(window - 1);
    summary->wanderStdDev = std::sqrt(std::max(0.0, squares / n - (sum / n) * (sum / n)));
}

std::string Settling(int frames) {
    return frames < 0 ? "not settled"
                      : std::to_string(frames) + (frames == 1 ? " frame" : " frames");
}

}  // namespace

std::vector<PhaseSummary> Summarise(const Run& run) {
    std::vector<PhaseSummary> summaries(run.phases.size());
    for (uint32_t p = 0; p < run.phases.size(); ++p) {
        PhaseSummary& s = summaries[p];
        s.aeFrames = FramesUntilSettled(run, p, &FrameRow::aeSettled);
        s.awbFrames = FramesUntilSettled(run, p, &FrameRow::awbSettled);
        s.flickering = run.lightControl && run.phases[p].light.MainsHz != 0;
        if (s.flickering) MeasureWander(PhaseLuminance(run, p), &s);
    }
    return summaries;
}

void PrintTableHeader(std::FILE* out) {
    std::fprintf(out, "%6s  %-16s %5s %5s  %4s %4s %4s  %-3s %-3s\n", "frame", "phase", "index",
                 "luma", "R", "G", "B", "AE", "AWB");
}

void PrintTableRow(std::FILE* out, const Run& run, const FrameRow& row) {
    const BRIDGE_FRAME_RECORD& r = row.record;
    if (r.Frame % kTablePeriod != 0) return;
    uint32_t sum = 0, count = 0;
    for (auto it = run.frames.rbegin(); it != run.frames.rend() && count < kTablePeriod; ++it) {
        sum += Unpack(it->record.Statistics).luminance;
        ++count;
    }
    std::fprintf(out, "%6u  %-16s %5d %5u  %4u %4u %4u  %-3s %-3s\n", r.Frame,
                 run.phases[row.phase].name.c_str(), r.ExposureIndex, sum / count, r.RedGain,
                 r.GreenGain, r.BlueGain, row.aeSettled ? "yes" : "-",
                 row.awbSettled ? "yes" : "-");
}

void PrintSummary(std::FILE* out, const Run& run, const OutputFiles& files) {
    const std::vector<PhaseSummary> summaries = Summarise(run);
    std::fprintf(out,
                 "\nSettling after each change (AE: luminance %u..%u; AWB: red and blue within "
                 "%u of green):\n",
                 kAeLow, kAeHigh, kAwbTolerance);
    for (size_t p = 0; p < run.phases.size(); ++p) {
        std::fprintf(out, "  %-16s from frame %4u: AE %-12s AWB %s\n", run.phases[p].name.c_str(),
                     run.phases[p].firstFrame, Settling(summaries[p].aeFrames).c_str(),
                     Settling(summaries[p].awbFrames).c_str());
    }
    bool anyFlicker = false;
    for (size_t p = 0; p < run.phases.size(); ++p) {
        if (!summaries[p].flickering) continue;
        if (!anyFlicker)
            std::fprintf(out, "Flicker wander (last %u frames of the phase):\n", kWanderWindow);
        anyFlicker = true;
        std::fprintf(out, "  %-16s luminance span %3u, frame-to-frame std dev %.2f\n",
                     run.phases[p].name.c_str(), summaries[p].wanderSpan,
                     summaries[p].wanderStdDev);
    }
    if (!anyFlicker) std::fprintf(out, "Flicker wander: not measured (no flickering light)\n");
    for (const std::string& note : run.notes) std::fprintf(out, "Note: %s\n", note.c_str());
    if (run.snapshotTaken) {
        std::fprintf(out, "Still image: %ux%u, %zu bytes, delivered with frame %u, saved as %s\n",
                     run.snapshotWidth, run.snapshotHeight, run.snapshot.size(),
                     run.snapshotFrame.Frame, files.snapshot.c_str());
    }
    std::fprintf(out,
                 "After unplugging: %zu pool blocks (%zu bytes), %zu IRPs, %zu device objects; "
                 "%zu kernel faults (leak check included)\n",
                 run.poolBlocks, run.poolBytes, run.liveIrps, run.liveDevices, run.faults.size());
    std::fprintf(out, "Outputs in %s: %s", files.folder.c_str(),
                 files.trace.empty() ? "" : "frames.csv");
    if (!files.snapshot.empty()) std::fprintf(out, ", snapshot.png");
    for (const std::string& plot : files.plots)
        std::fprintf(out, ", %s", plot.substr(plot.find_last_of('/') + 1).c_str());
    std::fprintf(out, "\n");
}

std::string DescribeCall(const BRIDGE_SERVICE_CALL& call) {
    // BRIDGE_SERVICES by slot; the unused slots are never called.
    static const char* const kSlotNames[BRIDGE_SERVICES_SLOTS] = {
        "BusWriteRead",
        "BusWrite",
        "ReadEeprom",
        "ReadBridgeReg",
        "WriteBridgeReg",
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        "GetControl",
        "GetControlMax",
        "GetControlMin",
        "SetControl",
        "SetControlMax",
        nullptr,
        "ReadRegistryDword",
        "NotifyExposureReset",
        nullptr,
        "ReadFrameStats",
        "SettleExposure",
    };
    std::string slot;
    if (call.Slot < BRIDGE_SERVICES_SLOTS && kSlotNames[call.Slot] != nullptr)
        slot = kSlotNames[call.Slot];
    else if (call.Slot == BRIDGE_SLOT_PROBE_CHECK_ADDRESS)
        slot = "ProbeCheckAddress";
    else if (call.Slot == BRIDGE_SLOT_PROBE_WRITE_READ)
        slot = "ProbeWriteRead";
    else
        slot = "slot " + std::to_string(call.Slot);
    const std::string command =
        call.Command == BRIDGE_COMMAND_PROBE ? "probe" : "command " + std::to_string(call.Command);
    char line[200];
    std::snprintf(line, sizeof(line),
                  "call %-10s %-17s args 0x%X 0x%X 0x%X 0x%X data 0x%X -> 0x%08X", command.c_str(),
                  slot.c_str(), call.Arguments[0], call.Arguments[1], call.Arguments[2],
                  call.Arguments[3], call.Data, call.Result);
    return line;
}

}  // namespace camera_sim
