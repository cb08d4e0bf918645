#pragma once

#include "ports/Desktop.h"

#include <QString>

namespace murmelin {

// Starts programs directly with an argument list (never through a shell) and does not wait.
class ProcessScriptRunner final : public ScriptRunner {
public:
    // `executableDir`: the folder of the running program, where murmelin-notify lives too.
    explicit ProcessScriptRunner(const QString& executableDir);
    void launch(const std::string& program, const std::vector<std::string>& arguments) override;
    // murmelin-notify beside this program, else the one on PATH.
    std::string notificationScriptRunner() const override { return runner_; }

private:
    std::string runner_;
};

inline constexpr const char* kNotifyProgram = "murmelin-notify";

} // namespace murmelin
