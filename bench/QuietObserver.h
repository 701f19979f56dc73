#pragma once
// An observer for benchmarks: the screen is not drawn, operator messages go to
// standard error and are answered with 0.
#include <cstdio>
#include <string>

#include "engine/RunObserver.h"

namespace bench {

class QuietObserver final : public engine::RunObserver {
public:
    void OnCellChanged(int, int, const std::string&, int, engine::CellColours) override {}
    void OnProgressPosition(int) override {}
    void OnProgressBarColour(engine::Rgb) override {}
    void OnProgressText(const std::string&) override {}
    void OnResultIndicators(bool, bool) override {}
    void OnCountersChanged(uint32_t, uint32_t, uint32_t) override {}
    void OnControlsEnabled(engine::ControlSet) override {}
    void OnStartEnabled(bool) override {}
    int OnOperatorMessage(const std::string& text, int) override
    {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        return 0;
    }
    void OnExitRequest(int) override {}
};

}  // namespace bench
