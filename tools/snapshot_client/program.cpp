#include "program.h"

#include "picture.h"
#include "snapshot_client.h"

#include <cstdint>

namespace snapshot_client {

namespace {

const char kUsage[] =
    "usage: snapshot_client --list | --info | --out FILE | --wait-button [--out FILE]\n"
    "                       [--device N] [--timeout MS]\n"
    "  --list          list the still-image devices, numbered from 1\n"
    "  --info          show the device's image description in words\n"
    "  --out FILE      request a snapshot, wait until it is ready, read it and save\n"
    "                  it to FILE: a picture for a name ending in .bmp or .png\n"
    "                  (PNG where this build has libpng), the raw bytes for any\n"
    "                  other name or a description this program cannot draw\n"
    "  --wait-button   wait for the camera's button instead of requesting; with\n"
    "                  --out the snapshot it took is saved\n"
    "  --device N      use device N of --list (default 1)\n"
    "  --timeout MS    how long to wait for a snapshot or for the button\n"
    "                  (default 5000)\n"
    "  --help          show this text\n";

constexpr DWORD kDefaultTimeoutMs = 5000;
constexpr uint64_t kLongestTimeoutMs = 0xFFFFFFFE;  // one below INFINITE

enum class Action { List, Info, Snapshot, Button };

struct Options {
    Action action = Action::List;
    bool help = false;
    std::string out;  // empty: the snapshot is not saved
    FileFormat format = FileFormat::Raw;
    uint64_t device = 1;
    DWORD timeoutMs = kDefaultTimeoutMs;
};

// Decimal digits only, from `min` to `max`.
bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t number = 0;
    for (char digit : text) number = number * 10 + uint64_t(digit - '0');
    if (number < min || number > max) return false;
    *value = number;
    return true;
}

// The problem with the arguments, or an empty string. --help anywhere wins
// over everything else on the line.
std::string Parse(const std::vector<std::string>& args, Options* options) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            return {};
        }
    }
    bool list = false, info = false, button = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (arg == "--list") {
            list = true;
            continue;
        }
        if (arg == "--info") {
            info = true;
            continue;
        }
        if (arg == "--wait-button") {
            button = true;
            continue;
        }
        if (arg != "--out" && arg != "--device" && arg != "--timeout")
            return "unknown option " + arg;
        if (i + 1 == args.size()) return arg + " needs a value";
        const std::string& value = args[++i];
        uint64_t number = 0;
        if (arg == "--out") {
            if (value.empty()) return "--out needs a file name";
            options->out = value;
            options->format = FormatOfName(value);
            // Refused before the camera is touched, so no snapshot is lost.
            if (options->format == FileFormat::Png && !PngAvailable())
                return "this build cannot write PNG files; name the file .bmp for a picture, or "
                       "anything else for the raw bytes";
        } else if (arg == "--device") {
            if (!ParseNumber(value, 1, 9999, &number))
                return "--device takes a number from 1, not " + value;
            options->device = number;
        } else {
            if (!ParseNumber(value, 0, kLongestTimeoutMs, &number))
                return "--timeout takes milliseconds, not " + value;
            options->timeoutMs = static_cast<DWORD>(number);
        }
    }
    bool snapshot = button || !options->out.empty();
    int actions = int(list) + int(info) + int(snapshot);
    if (actions == 0) return "nothing to do: give --list, --info, --out FILE or --wait-button";
    if (actions > 1) return "give one of --list, --info and a snapshot (--out, --wait-button)";
    options->action = list     ? Action::List
                      : info   ? Action::Info
                      : button ? Action::Button
                               : Action::Snapshot;
    return {};
}

struct ErrorName {
    DWORD Error;
    const char* Name;
};

#define ERROR_NAME(error) \
    { error, #error }
// The errors these requests can end with, named as winerror.h names them.
const ErrorName kErrorNames[] = {
    ERROR_NAME(ERROR_INVALID_FUNCTION),
    ERROR_NAME(ERROR_FILE_NOT_FOUND),
    ERROR_NAME(ERROR_ACCESS_DENIED),
    ERROR_NAME(ERROR_INVALID_HANDLE),
    ERROR_NAME(ERROR_INVALID_DATA),
    ERROR_NAME(ERROR_NOT_READY),
    ERROR_NAME(ERROR_GEN_FAILURE),
    ERROR_NAME(ERROR_NOT_SUPPORTED),
    ERROR_NAME(ERROR_INVALID_PARAMETER),
    ERROR_NAME(ERROR_INSUFFICIENT_BUFFER),
    ERROR_NAME(ERROR_BUSY),
    ERROR_NAME(ERROR_MORE_DATA),
    ERROR_NAME(ERROR_DEVICE_NOT_CONNECTED),
    ERROR_NAME(ERROR_NO_SYSTEM_RESOURCES),
    ERROR_NAME(ERROR_TIMEOUT),
    ERROR_NAME(ERROR_DEVICE_REMOVED),
};
#undef ERROR_NAME

int Failure(std::FILE* err, const std::string& what, DWORD error) {
    const char* name = nullptr;
    for (const ErrorName& entry : kErrorNames)
        if (entry.Error == error) name = entry.Name;
    if (name != nullptr)
        std::fprintf(err, "snapshot_client: %s (error %u, %s)\n", what.c_str(), unsigned(error),
                     name);
    else
        std::fprintf(err, "snapshot_client: %s (error %u)\n", what.c_str(), unsigned(error));
    return 1;
}

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; i++) {
        if (i != 0) text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

// A description that is no picture is shown byte for byte as well, for
// whoever writes the bridge driver that gave it.
int ShowInfo(Client& client, std::FILE* out, std::FILE* err) {
    SNAPSHOT_IMAGE_INFO info;
    DWORD error = client.GetImageInfo(&info);
    if (error != ERROR_SUCCESS) return Failure(err, "reading the image description failed", error);
    std::fprintf(out, "%s\n", DescribeInWords(info).c_str());
    Picture picture;
    if (!CheckPicture(info, info.ByteCount, &picture).empty())
        std::fprintf(out, "description bytes: %s\n",
                     Hex(reinterpret_cast<const uint8_t*>(&info), sizeof(info)).c_str());
    return 0;
}

// Opens a file for writing by its UTF-8 name; Windows takes names in UTF-16.
std::FILE* OpenForWriting(const std::string& path) {
#ifdef _WIN32
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    if (length <= 0) return nullptr;
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), length);
    return _wfopen(wide.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

bool SaveFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = OpenForWriting(path);
    bool written =
        file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file != nullptr && std::fclose(file) != 0) written = false;
    return written;
}

/*
 * Report
 *
 * A picture file only from a description this program understands and
 * bytes that match it; otherwise the file gets the bytes exactly as the
 * driver handed them over, and the run fails with the reason, so that
 * nobody takes the file for the picture it is named after.
 */
int Report(const std::vector<uint8_t>& image, const SNAPSHOT_IMAGE_INFO& info,
           const Options& options, std::FILE* out, std::FILE* err) {
    uint32_t sum = 0;
    for (uint8_t byte : image) sum = sum * 31 + byte;
    std::fprintf(out, "snapshot: %u bytes, checksum %08x\n", unsigned(image.size()), unsigned(sum));
    const std::string& path = options.out;
    if (path.empty()) return 0;
    std::string problem;
    Picture picture;
    std::vector<uint8_t> encoded;
    if (options.format != FileFormat::Raw) {
        problem = CheckPicture(info, image.size(), &picture);
        if (problem.empty())
            problem = EncodePicture(options.format, picture, image.data(), &encoded);
    }
    const bool asPicture = options.format != FileFormat::Raw && problem.empty();
    if (!SaveFile(path, asPicture ? encoded : image)) {
        std::fprintf(err, "snapshot_client: cannot write %s\n", path.c_str());
        return 1;
    }
    if (!problem.empty()) {
        std::fprintf(err, "snapshot_client: cannot make a picture: %s; %s holds the raw %u bytes\n",
                     problem.c_str(), path.c_str(), unsigned(image.size()));
        return 1;
    }
    if (asPicture)
        std::fprintf(out, "written to %s as a %u x %u %s\n", path.c_str(), unsigned(picture.Width),
                     unsigned(picture.Height), options.format == FileFormat::Bmp ? "BMP" : "PNG");
    else
        std::fprintf(out, "written to %s\n", path.c_str());
    return 0;
}

int TakeSnapshot(Client& client, const Options& options, std::FILE* out, std::FILE* err) {
    std::vector<uint8_t> image;
    SNAPSHOT_IMAGE_INFO info;
    DWORD error = client.Capture(&image, std::chrono::milliseconds(options.timeoutMs), &info);
    if (error == ERROR_TIMEOUT) {
        std::fprintf(err, "snapshot_client: no snapshot within %u ms\n",
                     unsigned(options.timeoutMs));
        return 1;
    }
    if (error != ERROR_SUCCESS) return Failure(err, "taking a snapshot failed", error);
    return Report(image, info, options, out, err);
}

// With the events switched on: the button's pulse, then the snapshot the
// trigger asked the bridge driver for.
int AwaitButton(Client& client, const Options& options, std::FILE* out, std::FILE* err) {
    const std::chrono::milliseconds timeout(options.timeoutMs);
    std::fprintf(out, "waiting up to %u ms for the camera's button\n", unsigned(options.timeoutMs));
    std::fflush(out);
    unsigned which = 0;
    DWORD error = client.WaitForTrigger(timeout, &which);
    if (error == ERROR_TIMEOUT) {
        std::fprintf(err, "snapshot_client: no button press within %u ms\n",
                     unsigned(options.timeoutMs));
        return 1;
    }
    if (error != ERROR_SUCCESS) return Failure(err, "waiting for the trigger events failed", error);
    std::fprintf(out, "button: %s trigger event\n", which == 0 ? "first" : "second");
    error = client.WaitUntilReady(timeout);
    if (error == ERROR_TIMEOUT) {
        std::fprintf(err, "snapshot_client: no snapshot within %u ms of the button\n",
                     unsigned(options.timeoutMs));
        return 1;
    }
    std::vector<uint8_t> image;
    SNAPSHOT_IMAGE_INFO info;
    if (error == ERROR_SUCCESS) error = client.ReadImage(&image, &info);
    if (error != ERROR_SUCCESS) return Failure(err, "reading the snapshot failed", error);
    return Report(image, info, options, out, err);
}

/*
 * WaitForButton
 *
 * Windows hands the driver the program's event handles; a host that runs the
 * driver in another process (Wine) cannot, and the driver refuses the
 * registration with STATUS_NOT_IMPLEMENTED, which arrives here as
 * ERROR_INVALID_FUNCTION. Waiting anyway would only run into the time-out,
 * so that is reported at once.
 */
int WaitForButton(Client& client, const Options& options, std::FILE* out, std::FILE* err) {
    DWORD error = client.RegisterEvents();
    if (error == ERROR_INVALID_FUNCTION) {
        std::fprintf(err,
                     "snapshot_client: the driver cannot take this program's events here "
                     "(error 1, ERROR_INVALID_FUNCTION); --wait-button is not available\n");
        return 1;
    }
    if (error != ERROR_SUCCESS) return Failure(err, "registering the trigger events failed", error);
    error = client.Control(SNAPSHOT_CONTROL_EVENTS_ON);
    if (error != ERROR_SUCCESS)
        return Failure(err, "switching the trigger events on failed", error);
    int status = AwaitButton(client, options, out, err);
    client.Control(SNAPSHOT_CONTROL_EVENTS_OFF);
    return status;
}

}  // namespace

int RunProgram(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Options options;
    std::string problem = Parse(args, &options);
    if (!problem.empty()) {
        std::fprintf(err, "snapshot_client: %s (--help shows the options)\n", problem.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, out);
        return 0;
    }

    std::vector<DevicePath> devices;
    DWORD error = FindStillImageDevices(&devices);
    if (error != ERROR_SUCCESS)
        return Failure(err, "looking for still-image devices failed", error);
    if (devices.empty()) {
        std::fprintf(err, "snapshot_client: no still-image device found\n");
        return 1;
    }
    if (options.action == Action::List) {
        for (size_t i = 0; i < devices.size(); i++)
            std::fprintf(out, "%u: %s\n", unsigned(i + 1), Utf8(devices[i]).c_str());
        return 0;
    }
    if (options.device > devices.size()) {
        std::fprintf(err, "snapshot_client: no still-image device %u (%u found)\n",
                     unsigned(options.device), unsigned(devices.size()));
        return 1;
    }

    const DevicePath& path = devices[options.device - 1];
    Client client;
    error = client.Open(path);
    if (error != ERROR_SUCCESS) return Failure(err, "cannot open " + Utf8(path), error);
    switch (options.action) {
    case Action::Info:
        return ShowInfo(client, out, err);
    case Action::Snapshot:
        return TakeSnapshot(client, options, out, err);
    case Action::Button:
        return WaitForButton(client, options, out, err);
    case Action::List:
        break;
    }
    return 0;
}

}  // namespace snapshot_client
