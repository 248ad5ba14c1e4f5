// qvijs: the IJS server that Ghostscript's "ijs" device starts; it writes the job as PCL raster.
//
// Ghostscript runs it with the IJS channel on standard input and output and talks to it through
// libijs. The server accepts the manufacturer "QV" and the model "GenericVIP" only: any other value
// is refused during the handshake, so Ghostscript cannot open its device and ends with an error.
//
// Parameters it understands (set by Ghostscript, or by the host through -sIjsParams=Key=Value,...):
//   OutputFile          the file to write; "-", "%stdout..." and "|command" are refused because the
//                       server's standard output is the IJS channel (use -dIjsUseOutputFD for those)
//   OutputFD            a descriptor Ghostscript opened and handed down (-dIjsUseOutputFD)
//   DeviceManufacturer  must be "QV"
//   DeviceModel         must be "GenericVIP"
//   Compression         PCL raster compression: "2" (PackBits, the default) or "0" (none)
// Every other parameter (PaperSize, host parameters) is accepted, kept, and reported back on request.
//
// The output file is opened at the first page (or at the end of a job without pages), so a job
// refused during the handshake leaves no file behind. Exit status 0 after a complete job, 1 otherwise.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <ijs/ijs.h>
#include <ijs/ijs_server.h>

#include "PclWriter.h"

namespace {

constexpr const char* kManufacturer = "QV";
constexpr const char* kModel = "GenericVIP";

/// Owns one descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }
    void Reset(int value = -1) {
        if (fd >= 0) ::close(fd);
        fd = value;
    }
    int Get() const { return fd; }
    bool Valid() const { return fd >= 0; }

private:
    int fd = -1;
};

/// Everything the callbacks learn during the handshake; lives in main for the whole run.
struct ServerState {
    std::map<std::string, std::string> params;
    std::string outputFile;
    UniqueFd output;  // OutputFD as soon as it arrives, OutputFile once the first page starts
    Qvijs::PclWriter::Compression compression = Qvijs::PclWriter::Compression::PackBits;
    bool refused = false;  // a parameter was refused; Ghostscript then drops the channel
};

void Complain(const std::string& message) {
    std::fprintf(stderr, "qvijs: %s\n", message.c_str());
}

bool IsStandardStreamName(const std::string& name) {
    return name == "-" || name.rfind("%stdout", 0) == 0 || name.rfind("%stderr", 0) == 0 ||
           (!name.empty() && name[0] == '|');
}

// Reads a whole decimal number; false for anything else.
bool ParseInt(const std::string& text, int& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

int CheckParam(ServerState& state, const char* key, const char* value, int size) {
    std::string name(key);
    std::string text(value, size > 0 ? static_cast<size_t>(size) : 0);
    if (name == "DeviceManufacturer" && text != kManufacturer) {
        Complain("unknown manufacturer \"" + text + "\" (this server drives \"" + kManufacturer + "\")");
        return IJS_ERANGE;
    }
    if (name == "DeviceModel" && text != kModel) {
        Complain("unknown model \"" + text + "\" (this server drives \"" + kModel + "\")");
        return IJS_ERANGE;
    }
    if (name == "Compression") {
        if (text == "0") {
            state.compression = Qvijs::PclWriter::Compression::None;
        } else if (text == "2") {
            state.compression = Qvijs::PclWriter::Compression::PackBits;
        } else {
            Complain("Compression must be 0 or 2, not \"" + text + "\"");
            return IJS_ERANGE;
        }
    }
    if (name == "OutputFile") {
        if (text.empty() || IsStandardStreamName(text)) {
            Complain("cannot write to \"" + text + "\": use -dIjsUseOutputFD for standard output or pipes");
            return IJS_ERANGE;
        }
        state.outputFile = text;
        state.output.Reset();
    }
    if (name == "OutputFD") {
        // 0 and 1 carry the IJS channel; the handed-down descriptor is always above them.
        int fd = -1;
        if (!ParseInt(text, fd) || fd < 2 || ::fcntl(fd, F_GETFD) < 0) {
            Complain("bad OutputFD \"" + text + "\"");
            return IJS_ERANGE;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        state.output.Reset(fd);
        state.outputFile.clear();
    }
    state.params[name] = text;
    return 0;
}

int SetParam(void* data, IjsServerCtx*, IjsJobId, const char* key, const char* value, int size) {
    auto& state = *static_cast<ServerState*>(data);
    int result = CheckParam(state, key, value, size);
    state.refused = state.refused || result < 0;
    return result;
}

// Copies text into the reply buffer; returns its length or IJS_EBUF.
int Reply(const std::string& text, char* buffer, int size) {
    if (text.size() > static_cast<size_t>(size)) return IJS_EBUF;
    std::memcpy(buffer, text.data(), text.size());
    return static_cast<int>(text.size());
}

int GetParam(void* data, IjsServerCtx*, IjsJobId, const char* key, char* buffer, int size) {
    auto& state = *static_cast<ServerState*>(data);
    std::string name(key);
    if (name == "DeviceManufacturer") return Reply(kManufacturer, buffer, size);
    if (name == "DeviceModel") return Reply(kModel, buffer, size);
    if (name == "Compression")
        return Reply(state.compression == Qvijs::PclWriter::Compression::None ? "0" : "2", buffer, size);
    auto found = state.params.find(name);
    if (found == state.params.end()) return IJS_EUNKPARAM;
    return Reply(found->second, buffer, size);
}

int ListParams(void*, IjsServerCtx*, IjsJobId, char* buffer, int size) {
    return Reply("OutputFile,OutputFD,DeviceManufacturer,DeviceModel,ColorSpace,Compression", buffer, size);
}

int EnumParam(void*, IjsServerCtx*, IjsJobId, const char* key, char* buffer, int size) {
    std::string name(key);
    // The first value is the default Ghostscript picks.
    if (name == "ColorSpace") return Reply("DeviceRGB,DeviceGray", buffer, size);
    if (name == "DeviceManufacturer") return Reply(kManufacturer, buffer, size);
    if (name == "DeviceModel") return Reply(kModel, buffer, size);
    if (name == "Compression") return Reply("2,0", buffer, size);
    return IJS_EUNKPARAM;
}

void OpenOutput(ServerState& state) {
    if (state.output.Valid()) return;
    if (state.outputFile.empty()) throw std::runtime_error("no output file was given");
    int fd = ::open(state.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        int error = errno;
        throw std::runtime_error("cannot open \"" + state.outputFile + "\": " + std::strerror(error));
    }
    state.output.Reset(fd);
}

Qvijs::PageFormat ToFormat(const IjsPageHeader& header) {
    Qvijs::PageFormat format;
    format.width = header.width;
    format.height = header.height;
    format.xResolution = header.xres;
    format.yResolution = header.yres;
    format.channels = header.n_chan;
    format.bitsPerSample = header.bps;
    format.colorSpace.assign(header.cs, strnlen(header.cs, sizeof header.cs));
    return format;
}

// Serves the job until Ghostscript closes it; throws on any failure.
void Serve(IjsServerCtx* context, ServerState& state) {
    std::unique_ptr<Qvijs::PclWriter> writer;
    std::vector<uint8_t> row;
    for (;;) {
        IjsPageHeader header;
        int status = ijs_server_get_page_header(context, &header);
        if (status > 0) break;  // Ghostscript closed the job
        if (status < 0) throw std::runtime_error("the IJS channel failed (" + std::to_string(status) + ")");
        Qvijs::PageFormat format = ToFormat(header);
        Qvijs::PclWriter::CheckFormat(format);
        if (!writer) {
            OpenOutput(state);
            writer = std::make_unique<Qvijs::PclWriter>(state.output.Get(), state.compression);
            writer->BeginJob();
        }
        writer->BeginPage(format);
        row.resize(Qvijs::PclWriter::RowBytes(format));
        for (int y = 0; y < format.height; ++y) {
            int got = ijs_server_get_data(context, reinterpret_cast<char*>(row.data()),
                                          static_cast<int>(row.size()));
            if (got < 0) throw std::runtime_error("the page's raster ended early");
            writer->WriteRow(row.data());
        }
        writer->EndPage();
    }
    // A job without pages still yields its (empty) PCL job, so the host finds its one output file.
    if (!writer) {
        OpenOutput(state);
        writer = std::make_unique<Qvijs::PclWriter>(state.output.Get(), state.compression);
        writer->BeginJob();
    }
    writer->EndJob();
}

}  // namespace

int main() {
    IjsServerCtx* context = ijs_server_init();
    if (!context) {
        Complain("cannot start the IJS conversation");
        return 1;
    }
    ServerState state;
    ijs_server_install_set_cb(context, SetParam, &state);
    ijs_server_install_get_cb(context, GetParam, &state);
    ijs_server_install_list_cb(context, ListParams, &state);
    ijs_server_install_enum_cb(context, EnumParam, &state);
    int result = 0;
    try {
        Serve(context, state);
    } catch (const std::exception& error) {
        // A refused parameter already said why; the dropped channel that follows is Ghostscript
        // giving up, not news.
        if (!state.refused) Complain(error.what());
        result = 1;
    }
    ijs_server_done(context);
    return result;
}
