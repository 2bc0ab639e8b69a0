#include "probe/standardlib.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

timeval CurrentTime() {
    timeval now;
    gettimeofday(&now, nullptr);
    return now;
}

Chrono::Chrono() : mStartTime(CurrentTime()), mTimeValue(0), mStopped(false) {}

TIME Chrono::GetTime() {
    if (mStopped) return mTimeValue;
    return GetTime(CurrentTime());
}

TIME Chrono::GetTime(const timeval& now) {
    if (!mStopped) {
        mTimeValue = static_cast<TIME>(now.tv_sec - mStartTime.tv_sec) * 1000000 +
                     static_cast<TIME>(now.tv_usec - mStartTime.tv_usec);
    }
    return mTimeValue;
}

TIME Chrono::Stop() {
    const TIME elapsed = GetTime();
    mStopped = true;
    return elapsed;
}

TIME Chrono::Restart() { return Restart(CurrentTime()); }

TIME Chrono::Restart(const timeval& now) {
    const TIME lap = GetTime(now);
    mStartTime = now;
    mStopped = false;
    return lap;
}

timeval Chrono::GetStartTime() const { return mStartTime; }

std::ostream& operator<<(std::ostream& out, Chrono chrono) {
    const TIME elapsed = chrono.GetTime();
    return out << elapsed / 1000000 << "s " << elapsed % 1000000 << "us";
}

std::ostream& operator<<(std::ostream& out, const timeval& time) {
    return out << time.tv_sec << "s " << time.tv_usec << "us";
}

std::string DateTime() {
    const time_t now = time(nullptr);
    std::string text = asctime(localtime(&now));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string ThisMachineName() {
    char name[100];
    if (gethostname(name, sizeof name) != 0) return "UNKOWN_HOST";
    name[sizeof name - 1] = '\0';
    std::string host = name;
    if (atoi(name) == 0) host = host.substr(0, host.find('.'));
    return host;
}

std::string GetUserID() {
    const char* user = cuserid(nullptr);
    if (user == nullptr || *user == '\0') return "UNKNOWN_USER";
    return user;
}

void error(const std::string& message, const char* file, int line) {
    if (file == nullptr || *file == '\0')
        printf("error %s\n", message.c_str());
    else if (line == 0)
        printf("error %s in file %s\n", message.c_str(), file);
    else
        printf("error %s at line %i of file %s\n", message.c_str(), line, file);
    exit(-1);
}
