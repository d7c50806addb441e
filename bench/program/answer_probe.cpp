// How long the client's window takes to answer a message, measured from
// another process as a user's desktop would feel it: for SECONDS after the
// window has first answered (its start-up is not timed), a WM_NULL sent with
// SendMessageTimeout every 10 ms, each answer timed. One message is sent at a
// time, so one that waits holds back those due meanwhile: each of them counts
// too, as answered when the one that waited was, so the figures tell how long
// a message sent at any moment waited. An answer that does not come within
// 20 s counts as 20 s and as unanswered.
//
//   answer_probe.exe SECONDS
//
// Prints "answers N worst MS p99 MS unanswered K", N counting those held
// back; exit code 1 when no client window appeared within 10 s.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ui/control_ids.h"

namespace {

const UINT kAnswerLimitMilliseconds = 20000;
const DWORD kWindowWaitMilliseconds = 10000;
const DWORD kProbeGapMilliseconds = 10;

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc == 2 ? atof(argv[1]) : 0;
    if (seconds <= 0) {
        fprintf(stderr, "usage: answer_probe.exe SECONDS\n");
        return 2;
    }
    HWND window = nullptr;
    const DWORD searchStart = GetTickCount();
    while ((window = FindWindowA(kMainWindowClass, kMainWindowCaption)) == nullptr) {
        if (GetTickCount() - searchStart > kWindowWaitMilliseconds) {
            fprintf(stderr, "answer_probe: no client window\n");
            return 1;
        }
        Sleep(kProbeGapMilliseconds);
    }
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerLimitMilliseconds, &result);

    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    std::vector<double> answers;
    int unanswered = 0;
    for (;;) {
        LARGE_INTEGER sent;
        LARGE_INTEGER answered;
        QueryPerformanceCounter(&sent);
        if (Milliseconds(start, sent, frequency) >= seconds * 1000)
            break;
        const LRESULT ok =
            SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerLimitMilliseconds, &result);
        QueryPerformanceCounter(&answered);
        if (ok == 0 && !IsWindow(window))
            break;
        unanswered += ok == 0 ? 1 : 0;
        const double waited = ok == 0 ? kAnswerLimitMilliseconds : Milliseconds(sent, answered, frequency);
        answers.push_back(waited);
        for (double heldBack = waited - kProbeGapMilliseconds; heldBack > 0; heldBack -= kProbeGapMilliseconds)
            answers.push_back(heldBack);
        Sleep(kProbeGapMilliseconds);
    }
    if (answers.empty()) {
        fprintf(stderr, "answer_probe: the window went away at once\n");
        return 1;
    }
    std::sort(answers.begin(), answers.end());
    const size_t p99 = static_cast<size_t>(0.99 * static_cast<double>(answers.size() - 1) + 0.5);
    printf("answers %zu worst %.1f p99 %.1f unanswered %d\n", answers.size(), answers.back(), answers[p99],
           unanswered);
    return 0;
}
