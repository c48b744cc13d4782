// Captures the diagnostic log in a test: its lines on stderr, at a chosen level.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

// The diagnostic log's lines (VELOMIX_LOG=level, by default 2: errors and warnings) written
// to stderr while it lives.
class LogCapture {
public:
    explicit LogCapture(const char* pszLevel = "2") {
        std::fflush(stderr);
        m_saved = dup(2);
        m_file = std::tmpfile();
        dup2(fileno(m_file), 2);
        setenv("VELOMIX_LOG", pszLevel, 1);
    }
    ~LogCapture() {
        Stop();
        if (m_file != nullptr)
            std::fclose(m_file);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<std::string> Lines() {
        Stop();
        std::vector<std::string> lines;
        std::rewind(m_file);
        char line[1024];
        while (std::fgets(line, sizeof line, m_file) != nullptr) {
            if (std::strncmp(line, "Velomix ", 8) == 0)
                lines.emplace_back(line);
        }
        return lines;
    }

private:
    void Stop() {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        m_saved = -1;
        unsetenv("VELOMIX_LOG");
    }
    int m_saved = -1;
    FILE* m_file = nullptr;
};
