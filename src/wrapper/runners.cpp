#include "wrapper/runners.h"

#include "util/error.h"

namespace kelv::wrapper {

exec::Command build_command(const std::optional<std::string>& kept_objects, bool needs_bootstrap,
                            const std::string& compiler, const std::vector<std::string>& args,
                            const std::optional<std::string>& driver) {
  exec::Command cmd{.program = driver ? *driver : compiler, .args = args};
  if (driver) {
    cmd.set_env("KELV_DRIVER_INTERFACE_HASH", "1");
    // An inherited value must never reach the driver.
    if (kept_objects)
      cmd.set_env("KELV_DRIVER_KEEP_OBJECTS", *kept_objects);
    else
      cmd.remove_env("KELV_DRIVER_KEEP_OBJECTS");
  }
  if (needs_bootstrap) cmd.set_env("RUSTC_BOOTSTRAP", "1");
  return cmd;
}

util::IoResult<exec::TeedResult> compile_runner(const std::optional<std::string>& kept_objects,
                                                bool needs_bootstrap, const std::string& compiler,
                                                const std::vector<std::string>& args,
                                                const std::optional<std::string>& driver,
                                                const artifact_cache::Job* job) {
  if (kept_objects && job) job->forget_kept_objects();
  exec::Command cmd = build_command(kept_objects, needs_bootstrap, compiler, args, driver);
  auto result = driver ? exec::run_teed(std::move(cmd), exec::Capture::json_lines, true)
                       : exec::run_teed(std::move(cmd), exec::Capture::tee, false);
  if (!result && driver) {
    exec::TeedResult crashed;
    crashed.status = exec::ExitStatus::exited(127);
    crashed.held = "cannot run Kelvane's compiler driver: " + util::os_error(result.error()) + "\n";
    return crashed;
  }
  return result;
}

util::IoResult<exec::TeedResult> relink_runner(const std::optional<std::string>& kept_objects,
                                               bool needs_bootstrap, const std::string& compiler,
                                               const std::vector<std::string>& relink_args,
                                               const std::string& driver) {
  return exec::run_teed(build_command(kept_objects, needs_bootstrap, compiler, relink_args, driver),
                        exec::Capture::hold, false);
}

}  // namespace kelv::wrapper
