// A board_peer.exe process of the test machine, driven line by line through
// its standard input and read through its standard output.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class Peer {
public:
    // Starts `program` (default: board_peer.exe next to the test) in `folder`.
    explicit Peer(const std::string &folder = "", const std::string &program = "board_peer.exe",
                  const std::string &arguments = "")
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE inRead, outWrite;
        if (!CreatePipe(&inRead, &in_, &inherit, 0) || !CreatePipe(&out_, &outWrite, &inherit, 0))
            return;
        SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = inRead;
        si.hStdOutput = outWrite;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::string path = folder.empty() ? program : folder + "\\" + program;
        std::string cmd = "\"" + path + "\" " + arguments;
        PROCESS_INFORMATION pi;
        if (CreateProcessA(path.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr,
                           folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
            process_ = pi.hProcess;
            pid_ = pi.dwProcessId;
            CloseHandle(pi.hThread);
        }
        CloseHandle(inRead);
        CloseHandle(outWrite);
        reader_ = std::thread([this] { ReadLines(); });
    }

    ~Peer()
    {
        EndInput();
        if (process_ && WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
        if (reader_.joinable())
            reader_.join();
        if (process_)
            CloseHandle(process_);
        if (out_)
            CloseHandle(out_);
    }

    // End of input: the peer returns from main.
    void EndInput()
    {
        if (in_)
            CloseHandle(in_);
        in_ = nullptr;
    }

    bool started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    HANDLE process() const { return process_; }

    void Send(const std::string &line)
    {
        std::string text = line + "\n";
        DWORD written;
        WriteFile(in_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    // Takes the first unread line that starts with `prefix`; "" after the timeout.
    std::string Expect(const std::string &prefix, std::chrono::milliseconds timeout = std::chrono::seconds(15))
    {
        std::unique_lock<std::mutex> g(lock_);
        std::string found;
        changed_.wait_for(g, timeout, [&] {
            for (auto it = lines_.begin(); it != lines_.end(); ++it)
                if (it->compare(0, prefix.size(), prefix) == 0) {
                    found = *it;
                    lines_.erase(it);
                    return true;
                }
            return false;
        });
        return found;
    }

    // Sends a command and returns the numbers of its answer line.
    std::vector<uint32_t> Call(const std::string &command, const std::string &answer)
    {
        Send(command);
        std::istringstream line(Expect(answer + " "));
        std::string word;
        line >> word;
        std::vector<uint32_t> numbers;
        while (line >> word)
            numbers.push_back(static_cast<uint32_t>(std::stoul(word, nullptr, 0)));
        return numbers;
    }

    // The handle of a new registration ("event", "server", "router"); -1 on failure.
    uint32_t Register(const std::string &kind)
    {
        auto n = Call(kind, "handle");
        return n.empty() ? 0xFFFFFFFFu : n[0];
    }

    size_t CountLines(const std::string &prefix)
    {
        std::lock_guard<std::mutex> g(lock_);
        size_t n = 0;
        for (auto &l : lines_)
            n += l.compare(0, prefix.size(), prefix) == 0;
        return n;
    }

    bool WaitExit(DWORD ms) { return WaitForSingleObject(process_, ms) == WAIT_OBJECT_0; }

    void Kill()
    {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
    }

private:
    void ReadLines()
    {
        std::string partial;
        char buffer[512];
        DWORD got;
        while (ReadFile(out_, buffer, sizeof buffer, &got, nullptr) && got) {
            partial.append(buffer, got);
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                std::string line = partial.substr(0, end);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                partial.erase(0, end + 1);
                std::lock_guard<std::mutex> g(lock_);
                lines_.push_back(line);
                changed_.notify_all();
            }
        }
    }

    HANDLE in_ = nullptr, out_ = nullptr, process_ = nullptr;
    DWORD pid_ = 0;
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
};
