// New passwords hashed for the window by the server's hashing threads, never
// on the event loop's thread (which serves every client meanwhile). The
// passwords are hashed one after another, each coming back through the
// loop's post queue; when the last has come back, finished runs on the
// loop's thread with the hashes in the order of the passwords, an empty one
// where no hash could be made (the threads were busy with too many logins,
// or stopped, or memory ran short). finished never runs from within Start.
//
// The request belongs to the window that waits for it: when that window
// goes, the request goes with it and the hashes still to come are dropped.
#pragma once

#include <QObject>

#include <functional>
#include <string>
#include <vector>

class CPasswordChecks;

class CHashRequest : public QObject {
    Q_OBJECT

public:
    using Finished = std::function<void(const std::vector<std::string>& hashes)>;

    CHashRequest(CPasswordChecks& rChecks, QObject* pOwner);

    void Start(std::vector<std::string> passwords, Finished finished);
    bool IsRunning() const { return m_bRunning; }

private:
    // Hands the next password to the threads, or ends the request.
    void Next();
    void Arrived(const std::string& strHash);
    // Runs the work from the loop, after the present event.
    void Later(std::function<void()> work);

    CPasswordChecks& m_rChecks;
    std::vector<std::string> m_passwords;
    std::vector<std::string> m_hashes;
    Finished m_finished;
    bool m_bRunning = false;
};
