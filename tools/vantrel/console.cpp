#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <thread>

namespace {

const std::string kPluginPrefix = "Vantrel: ";

Verbosity gVerbosity = Verbosity::Normal;
bool gTerminal = false;
int gSavedError = -1;  // the real standard error while the filter runs
std::thread gFilter;

void writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

// Passes the tool's own output at once, partial lines included (the progress bar redraws one
// line), and holds a line that starts like a plug-in diagnostic until it is complete.
void filterLoop(int in, int out, Verbosity verbosity)
{
    std::string line;        // the start of the current line, while undecided or held
    bool passing = false;    // the current line is the tool's and goes straight out
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string pass;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (passing) {
                pass += c;
                passing = c != '\n';
                continue;
            }
            line += c;
            const size_t common = std::min(line.size(), kPluginPrefix.size());
            if (line.compare(0, common, kPluginPrefix, 0, common) != 0) {
                pass += line;
                passing = c != '\n';
                line.clear();
            } else if (c == '\n') {
                if (verbosity == Verbosity::Verbose ||
                    (verbosity == Verbosity::Normal && isFailureDiagnostic(line)))
                    pass += line;
                line.clear();
            }
        }
        writeAll(out, pass);
    }
    if (!line.empty() && verbosity != Verbosity::Quiet)
        writeAll(out, line);
}

} // namespace

bool isFailureDiagnostic(const std::string &line)
{
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    for (const char *word : {"fail", "refused", "unsupported", "invalid", "memory", "without the match"})
        if (lower.find(word) != std::string::npos)
            return true;
    return false;
}

void startConsole(Verbosity verbosity)
{
    gVerbosity = verbosity;
    gTerminal = isatty(2) != 0;
    if (verbosity == Verbosity::Verbose || gSavedError >= 0)
        return;
    int ends[2];
    if (pipe(ends) != 0)
        return;
    const int saved = dup(2);
    if (saved < 0 || dup2(ends[1], 2) < 0) {
        close(ends[0]);
        close(ends[1]);
        if (saved >= 0)
            close(saved);
        return;
    }
    close(ends[1]);
    gSavedError = saved;
    const int in = ends[0];
    gFilter = std::thread([in, saved, verbosity] {
        filterLoop(in, saved, verbosity);
        close(in);
    });
}

void stopConsole()
{
    if (gSavedError < 0)
        return;
    std::fflush(stderr);
    // Descriptor 2 was the pipe's last write end: putting it back lets the filter see the end.
    dup2(gSavedError, 2);
    if (gFilter.joinable())
        gFilter.join();
    close(gSavedError);
    gSavedError = -1;
}

Verbosity verbosity() { return gVerbosity; }
bool errorIsTerminal() { return gTerminal; }

void printWarning(const std::string &text)
{
    if (gVerbosity != Verbosity::Quiet)
        std::fprintf(stderr, "vantrel: warning: %s\n", text.c_str());
}

void printNote(const std::string &text)
{
    if (gVerbosity != Verbosity::Quiet)
        std::fprintf(stderr, "vantrel: %s\n", text.c_str());
}
