#include "cli.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <random>
#include <sstream>

#include "ffsformat.h"
#include "scriptsource.h"

namespace ffsbuild {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "usage: ffsbuild COMMAND [ARGUMENTS]\n"
    "\n"
    "  compile SOURCE -o install.dat\n"
    "      compile a script source into the binary install.dat\n"
    "  decompile install.dat [-o SOURCE]\n"
    "      turn install.dat back into source (to standard output without -o)\n"
    "  build --exe Uninstall.exe SOURCE -o OUT.exe [--replace]\n"
    "      compile SOURCE and append it to a copy of the uninstaller\n"
    "  append --exe Uninstall.exe --script FILE -o OUT.exe [--replace]\n"
    "      append install.dat (or a source, recognised by its content)\n"
    "  list EXE\n"
    "      show where the archive of EXE stands and what it holds\n"
    "  extract EXE -o install.dat\n"
    "  extract EXE --source [-o SOURCE]\n"
    "      take the script out of EXE, binary or as source\n"
    "  verify EXE\n"
    "      check the archive of EXE and its script; exit code 0 or 1\n"
    "\n"
    "  --replace   replace the archive an executable already carries\n"
    "  --help      show this text\n"
    "\n"
    "The source format is described in docs/builder.md.\n";

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::string output, exe, script;
  bool replace = false, source = false, help = false;
};

class Tool {
 public:
  Tool(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    Options o;
    if (!Parse(args, o)) return 2;
    if (o.help || o.command.empty()) {
      (o.help ? out_ : err_) << kUsage;
      return o.help ? 0 : 2;
    }
    if (o.command == "compile") return Compile(o);
    if (o.command == "decompile") return DecompileCmd(o);
    if (o.command == "build" || o.command == "append") return Append(o);
    if (o.command == "list") return List(o);
    if (o.command == "extract") return Extract(o);
    if (o.command == "verify") return Verify(o);
    return Usage("unknown command '" + o.command + "' (see ffsbuild --help)");
  }

 private:
  std::ostream& out_;
  std::ostream& err_;

  int Usage(const std::string& msg) {
    err_ << "ffsbuild: " << msg << "\n";
    return 2;
  }
  int Problem(const std::string& msg) {
    err_ << "ffsbuild: " << msg << "\n";
    return 1;
  }

  bool Parse(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      auto value = [&](std::string& into) {
        if (i + 1 == args.size()) {
          Usage("option '" + a + "' needs a value");
          return false;
        }
        into = args[++i];
        return true;
      };
      if (a == "--help" || a == "-h")
        o.help = true;
      else if (a == "-o" || a == "--output") {
        if (!value(o.output)) return false;
      } else if (a == "--exe") {
        if (!value(o.exe)) return false;
      } else if (a == "--script") {
        if (!value(o.script)) return false;
      } else if (a == "--replace")
        o.replace = true;
      else if (a == "--source")
        o.source = true;
      else if (a.size() > 1 && a[0] == '-') {
        Usage("unknown option '" + a + "'");
        return false;
      } else if (o.command.empty())
        o.command = a;
      else
        o.positional.push_back(a);
    }
    if (o.command == "help") o.help = true;
    return true;
  }

  // One input file argument, exactly.
  bool Single(const Options& o, std::string& path, const char* what) {
    if (o.positional.size() != 1) {
      Usage(o.command + " takes one " + what + " (see ffsbuild --help)");
      return false;
    }
    path = o.positional[0];
    return true;
  }

  bool ReadFile(const std::string& path, ffsfmt::Bytes& data) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      Problem("cannot read '" + path + "': no such file");
      return false;
    }
    std::ifstream in(path, std::ios::binary);
    const auto size = fs::file_size(path, ec);
    data.resize(ec ? 0 : size);
    if (in) in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (ec || !in || static_cast<std::uintmax_t>(in.gcount()) != data.size()) {
      Problem("cannot read '" + path + "'");
      return false;
    }
    return true;
  }

  // Writes beside the output under a temporary name, then renames, so an
  // output file is either complete or untouched.
  bool WriteFile(const std::string& path, std::span<const std::uint8_t> data,
                 std::optional<fs::perms> perms = std::nullopt) {
    const fs::path target(path);
    std::random_device rd;
    std::ostringstream suffix;
    suffix << std::hex << rd();
    const fs::path tmp = target.parent_path() / ("." + target.filename().string() + ".ffsbuild-" + suffix.str());
    std::error_code ec;
    {
      std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
      if (o) o.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      if (o) o.close();
      if (!o) {
        fs::remove(tmp, ec);
        Problem("cannot write '" + path + "'");
        return false;
      }
    }
    if (perms) fs::permissions(tmp, *perms, ec);
    fs::rename(tmp, target, ec);
    if (ec) {
      fs::remove(tmp, ec);
      Problem("cannot write '" + path + "'");
      return false;
    }
    return true;
  }

  void Warn(const std::vector<script::Diagnostic>& ws) {
    for (const auto& w : ws)
      err_ << "ffsbuild: " << (w.line > 0 ? "line " + std::to_string(w.line) + ": " : "") << "warning: " << w.message
           << "\n";
  }

  // Source text to install.dat bytes; reports the first error.
  bool CompileText(const ffsfmt::Bytes& text, ffsfmt::Bytes& binary) {
    const auto r = script::CompileSource(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
    if (!r.ok) {
      Problem((r.error.line > 0 ? "line " + std::to_string(r.error.line) + ": " : "") + r.error.message);
      return false;
    }
    Warn(r.warnings);
    if (r.commands.empty()) {
      Problem("the source holds no commands");
      return false;
    }
    binary = script::Encode(r.commands);
    return true;
  }

  int Compile(const Options& o) {
    std::string src;
    if (!Single(o, src, "source file")) return 2;
    if (o.output.empty()) return Usage("compile needs -o install.dat");
    ffsfmt::Bytes text, binary;
    if (!ReadFile(src, text) || !CompileText(text, binary)) return 1;
    return WriteFile(o.output, binary) ? 0 : 1;
  }

  bool DecodeOrReport(std::span<const std::uint8_t> data, std::vector<script::Command>& cmds) {
    auto r = script::DecodeBinary(data);
    if (!r.ok) {
      Problem("install.dat: " + r.error);
      return false;
    }
    cmds = std::move(r.commands);
    return true;
  }

  int EmitSource(const Options& o, const std::vector<script::Command>& cmds) {
    const std::string text = script::Decompile(cmds);
    if (o.output.empty()) {
      out_ << text;
      return 0;
    }
    return WriteFile(o.output, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) ? 0 : 1;
  }

  int DecompileCmd(const Options& o) {
    std::string dat;
    if (!Single(o, dat, "install.dat file")) return 2;
    ffsfmt::Bytes data;
    std::vector<script::Command> cmds;
    if (!ReadFile(dat, data) || !DecodeOrReport(data, cmds)) return 1;
    return EmitSource(o, cmds);
  }

  int Append(const Options& o) {
    std::string scriptPath = o.script;
    if (o.command == "build") {
      if (!o.script.empty()) return Usage("build takes a source file, not --script");
      if (!Single(o, scriptPath, "source file")) return 2;
    } else if (!o.positional.empty() || scriptPath.empty()) {
      return Usage("append needs --script FILE (see ffsbuild --help)");
    }
    if (o.exe.empty()) return Usage(o.command + " needs --exe Uninstall.exe");
    if (o.output.empty()) return Usage(o.command + " needs -o OUT.exe");

    ffsfmt::Bytes image, input, binary;
    if (!ReadFile(o.exe, image) || !ReadFile(scriptPath, input)) return 1;
    if (const std::string why = ffsfmt::WhyNotProgram(image); !why.empty())
      return Problem(o.exe + ": refused as --exe: " + why);
    // A compiled script starts with the command marker (after any line
    // ends); anything else is taken for source.
    std::size_t first = 0;
    while (first < input.size() && (input[first] == '\r' || input[first] == '\n')) ++first;
    if (o.command == "append" && first < input.size() && input[first] == script::kMarker) {
      std::vector<script::Command> cmds;
      if (!DecodeOrReport(input, cmds)) return 1;
      binary = std::move(input);
    } else if (!CompileText(input, binary)) {
      return 1;
    }
    const auto r = ffsfmt::AppendArchive(image, binary, o.replace);
    if (!r.ok) return Problem(o.exe + ": " + r.problem);
    std::error_code ec;
    const auto perms = fs::status(o.exe, ec).permissions();
    return WriteFile(o.output, r.file, ec ? std::nullopt : std::optional(perms)) ? 0 : 1;
  }

  // 0 when the archive is open, else the exit code.
  int OpenArchive(const Options& o, ffsfmt::Archive& a, std::string& path) {
    if (!Single(o, path, "executable")) return 2;
    ffsfmt::Bytes file;
    if (!ReadFile(path, file)) return 1;
    a = ffsfmt::ReadArchive(file);
    if (!a.ok) return Problem(path + ": " + a.problem);
    return 0;
  }

  int List(const Options& o) {
    ffsfmt::Archive a;
    std::string path;
    if (const int code = OpenArchive(o, a, path)) return code;
    const auto& i = a.info;
    out_ << "file size:    " << i.fileSize << " bytes\n"
         << "tag offset:   " << i.tagOffset << " (0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
         << i.tagOffset << std::dec << std::setfill(' ') << ")\n"
         << "padding:      " << i.padding << " bytes\n"
         << "block size:   " << i.blockSize << " bytes\n"
         << "script size:  " << a.script.size() << " bytes\n";
    const auto r = script::DecodeBinary(a.script);
    if (!r.ok) {
      out_ << "commands:     unreadable\n";
      return Problem(path + ": script " + r.error);
    }
    out_ << "commands:     " << r.commands.size() << "\n";
    return 0;
  }

  int Extract(const Options& o) {
    ffsfmt::Archive a;
    std::string path;
    if (const int code = OpenArchive(o, a, path)) return code;
    if (o.source) {
      std::vector<script::Command> cmds;
      if (!DecodeOrReport(a.script, cmds)) return 1;
      return EmitSource(o, cmds);
    }
    if (o.output.empty()) return Usage("extract needs -o install.dat, or --source");
    return WriteFile(o.output, a.script) ? 0 : 1;
  }

  int Verify(const Options& o) {
    ffsfmt::Archive a;
    std::string path;
    if (const int code = OpenArchive(o, a, path)) return code;
    for (std::size_t j = 0; j < 4; ++j)
      if (a.trailer[j] == ffsfmt::kCommandMarker)
        return Problem(path + ": trailer byte " + std::to_string(j) +
                       " descrambles to the command marker; the program would read it as a command");
    const auto r = script::DecodeBinary(a.script);
    if (!r.ok) return Problem(path + ": script " + r.error);
    if (r.commands.empty()) return Problem(path + ": the script holds no commands");
    out_ << path << ": archive OK, " << r.commands.size() << " commands, script " << a.script.size()
         << " bytes at tag offset " << a.info.tagOffset << "\n";
    return 0;
  }
};

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) { return Tool(out, err).Run(args); }

}  // namespace ffsbuild
