#pragma once

#include <exception>

#include <QString>

// The error trap of one run of an event procedure. The procedure sets its current line before
// each statement; a failing statement shows one warning box naming the failure, the procedure and
// the line, and the procedure then goes on with its next statement.
class ErrorTrap
{
public:
    // `procedure` is the procedure's name, e.g. "Form_Load".
    explicit ErrorTrap(const QString& procedure);

    // The stored location text, "in Pitchwarden2021/08/31.Form1.<procedure> ".
    static QString locationFor(const QString& procedure);
    // The complete message for a failure at `line`.
    static QString message(const QString& description, const QString& location, int line);

    const QString& location() const { return m_location; }
    int line() const { return m_line; }

    // Runs one statement standing on `line`.
    template <typename Statement> void run(int line, Statement&& statement)
    {
        m_line = line;
        try {
            statement();
        } catch (...) {
            report(std::current_exception());
        }
    }

    // Evaluates the condition of an If or a loop standing on `line`; when evaluating it fails,
    // the failure is reported and `onFailure` is the outcome (the way the procedure goes on).
    template <typename Condition> bool test(int line, Condition&& condition, bool onFailure)
    {
        m_line = line;
        try {
            return condition();
        } catch (...) {
            report(std::current_exception());
            return onFailure;
        }
    }

private:
    void report(std::exception_ptr failure) const;

    QString m_location;
    int m_line = 0;
};
