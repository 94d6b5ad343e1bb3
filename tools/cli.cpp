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

    int run(const std::vector<std::string>& args) {
        Options o;
        if (!parse(args, o)) return 2;
        if (o.help || o.command.empty()) {
            (o.help ? out_ : err_) << kUsage;
            return o.help ? 0 : 2;
        }
        if (o.command == "compile") return compile(o);
        if (o.command == "decompile") return decompileCmd(o);
        if (o.command == "build" || o.command == "append") return append(o);
        if (o.command == "list") return list(o);
        if (o.command == "extract") return extract(o);
        if (o.command == "verify") return verify(o);
        return usage("unknown command '" + o.command + "' (see ffsbuild --help)");
    }

private:
    std::ostream& out_;
    std::ostream& err_;

    int usage(const std::string& msg) {
        err_ << "ffsbuild: " << msg << "\n";
        return 2;
    }
    int problem(const std::string& msg) {
        err_ << "ffsbuild: " << msg << "\n";
        return 1;
    }

    bool parse(const std::vector<std::string>& args, Options& o) {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            auto value = [&](std::string& into) {
                if (i + 1 == args.size()) {
                    usage("option '" + a + "' needs a value");
                    return false;
                }
                into = args[++i];
                return true;
            };
            if (a == "--help" || a == "-h") o.help = true;
            else if (a == "-o" || a == "--output") { if (!value(o.output)) return false; }
            else if (a == "--exe") { if (!value(o.exe)) return false; }
            else if (a == "--script") { if (!value(o.script)) return false; }
            else if (a == "--replace") o.replace = true;
            else if (a == "--source") o.source = true;
            else if (a.size() > 1 && a[0] == '-') { usage("unknown option '" + a + "'"); return false; }
            else if (o.command.empty()) o.command = a;
            else o.positional.push_back(a);
        }
        if (o.command == "help") o.help = true;
        return true;
    }

    // One input file argument, exactly.
    bool single(const Options& o, std::string& path, const char* what) {
        if (o.positional.size() != 1) {
            usage(o.command + " takes one " + what + " (see ffsbuild --help)");
            return false;
        }
        path = o.positional[0];
        return true;
    }

    bool readFile(const std::string& path, ffsfmt::Bytes& data) {
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) {
            problem("cannot read '" + path + "': no such file");
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        const auto size = fs::file_size(path, ec);
        data.resize(ec ? 0 : size);
        if (in) in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (ec || !in || static_cast<std::uintmax_t>(in.gcount()) != data.size()) {
            problem("cannot read '" + path + "'");
            return false;
        }
        return true;
    }

    // Writes beside the output under a temporary name, then renames, so an
    // output file is either complete or untouched.
    bool writeFile(const std::string& path, std::span<const std::uint8_t> data,
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
                problem("cannot write '" + path + "'");
                return false;
            }
        }
        if (perms) fs::permissions(tmp, *perms, ec);
        fs::rename(tmp, target, ec);
        if (ec) {
            fs::remove(tmp, ec);
            problem("cannot write '" + path + "'");
            return false;
        }
        return true;
    }

    void warn(const std::vector<script::Diagnostic>& ws) {
        for (const auto& w : ws)
            err_ << "ffsbuild: " << (w.line > 0 ? "line " + std::to_string(w.line) + ": " : "") << "warning: "
                 << w.message << "\n";
    }

    // Source text to install.dat bytes; reports the first error.
    bool compileText(const ffsfmt::Bytes& text, ffsfmt::Bytes& binary) {
        const auto r = script::compileSource(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
        if (!r.ok) {
            problem((r.error.line > 0 ? "line " + std::to_string(r.error.line) + ": " : "") + r.error.message);
            return false;
        }
        warn(r.warnings);
        if (r.commands.empty()) {
            problem("the source holds no commands");
            return false;
        }
        binary = script::encode(r.commands);
        return true;
    }

    int compile(const Options& o) {
        std::string src;
        if (!single(o, src, "source file")) return 2;
        if (o.output.empty()) return usage("compile needs -o install.dat");
        ffsfmt::Bytes text, binary;
        if (!readFile(src, text) || !compileText(text, binary)) return 1;
        return writeFile(o.output, binary) ? 0 : 1;
    }

    bool decodeOrReport(std::span<const std::uint8_t> data, std::vector<script::Command>& cmds) {
        auto r = script::decodeBinary(data);
        if (!r.ok) {
            problem("install.dat: " + r.error);
            return false;
        }
        cmds = std::move(r.commands);
        return true;
    }

    int emitSource(const Options& o, const std::vector<script::Command>& cmds) {
        const std::string text = script::decompile(cmds);
        if (o.output.empty()) {
            out_ << text;
            return 0;
        }
        return writeFile(o.output, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) ? 0 : 1;
    }

    int decompileCmd(const Options& o) {
        std::string dat;
        if (!single(o, dat, "install.dat file")) return 2;
        ffsfmt::Bytes data;
        std::vector<script::Command> cmds;
        if (!readFile(dat, data) || !decodeOrReport(data, cmds)) return 1;
        return emitSource(o, cmds);
    }

    int append(const Options& o) {
        std::string scriptPath = o.script;
        if (o.command == "build") {
            if (!o.script.empty()) return usage("build takes a source file, not --script");
            if (!single(o, scriptPath, "source file")) return 2;
        } else if (!o.positional.empty() || scriptPath.empty()) {
            return usage("append needs --script FILE (see ffsbuild --help)");
        }
        if (o.exe.empty()) return usage(o.command + " needs --exe Uninstall.exe");
        if (o.output.empty()) return usage(o.command + " needs -o OUT.exe");

        ffsfmt::Bytes image, input, binary;
        if (!readFile(o.exe, image) || !readFile(scriptPath, input)) return 1;
        if (const std::string why = ffsfmt::whyNotProgram(image); !why.empty())
            return problem(o.exe + ": refused as --exe: " + why);
        // A compiled script starts with the command marker (after any line
        // ends); anything else is taken for source.
        std::size_t first = 0;
        while (first < input.size() && (input[first] == '\r' || input[first] == '\n')) ++first;
        if (o.command == "append" && first < input.size() && input[first] == script::kMarker) {
            std::vector<script::Command> cmds;
            if (!decodeOrReport(input, cmds)) return 1;
            binary = std::move(input);
        } else if (!compileText(input, binary)) {
            return 1;
        }
        const auto r = ffsfmt::appendArchive(image, binary, o.replace);
        if (!r.ok) return problem(o.exe + ": " + r.problem);
        std::error_code ec;
        const auto perms = fs::status(o.exe, ec).permissions();
        return writeFile(o.output, r.file, ec ? std::nullopt : std::optional(perms)) ? 0 : 1;
    }

    // 0 when the archive is open, else the exit code.
    int openArchive(const Options& o, ffsfmt::Archive& a, std::string& path) {
        if (!single(o, path, "executable")) return 2;
        ffsfmt::Bytes file;
        if (!readFile(path, file)) return 1;
        a = ffsfmt::readArchive(file);
        if (!a.ok) return problem(path + ": " + a.problem);
        return 0;
    }

    int list(const Options& o) {
        ffsfmt::Archive a;
        std::string path;
        if (const int code = openArchive(o, a, path)) return code;
        const auto& i = a.info;
        out_ << "file size:    " << i.fileSize << " bytes\n"
             << "tag offset:   " << i.tagOffset << " (0x" << std::hex << std::uppercase << std::setw(8)
             << std::setfill('0') << i.tagOffset << std::dec << std::setfill(' ') << ")\n"
             << "padding:      " << i.padding << " bytes\n"
             << "block size:   " << i.blockSize << " bytes\n"
             << "script size:  " << a.script.size() << " bytes\n";
        const auto r = script::decodeBinary(a.script);
        if (!r.ok) {
            out_ << "commands:     unreadable\n";
            return problem(path + ": script " + r.error);
        }
        out_ << "commands:     " << r.commands.size() << "\n";
        return 0;
    }

    int extract(const Options& o) {
        ffsfmt::Archive a;
        std::string path;
        if (const int code = openArchive(o, a, path)) return code;
        if (o.source) {
            std::vector<script::Command> cmds;
            if (!decodeOrReport(a.script, cmds)) return 1;
            return emitSource(o, cmds);
        }
        if (o.output.empty()) return usage("extract needs -o install.dat, or --source");
        return writeFile(o.output, a.script) ? 0 : 1;
    }

    int verify(const Options& o) {
        ffsfmt::Archive a;
        std::string path;
        if (const int code = openArchive(o, a, path)) return code;
        for (std::size_t j = 0; j < 4; ++j)
            if (a.trailer[j] == ffsfmt::kCommandMarker)
                return problem(path + ": trailer byte " + std::to_string(j) +
                               " descrambles to the command marker; the program would read it as a command");
        const auto r = script::decodeBinary(a.script);
        if (!r.ok) return problem(path + ": script " + r.error);
        if (r.commands.empty()) return problem(path + ": the script holds no commands");
        out_ << path << ": archive OK, " << r.commands.size() << " commands, script " << a.script.size()
             << " bytes at tag offset " << a.info.tagOffset << "\n";
        return 0;
    }
};

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return Tool(out, err).run(args);
}

}  // namespace ffsbuild
