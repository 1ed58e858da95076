// Exception types that cross library boundaries: defined once, in the
// platform library, so that a catch by type works in every loaded library.
//
// Framework exceptions derive from CException and are thrown by value (the
// original threw pointers and deleted them after the catch). A failed call
// through a fixed-DISPID wrapper throws COleDispatchException, which is both
// a CException and an mv::DispatchException, so either catch takes it.
//
// accessviolation_exception and divisionbyzero_exception keep their names;
// machine faults cannot be caught on Linux, so nothing raises them from a
// fault: code that learns of such a condition explicitly may throw them.
#pragma once

#include <stdexcept>
#include <string>

#include "com.h"

class CException {
public:
    virtual ~CException();
    CException(const CException&) = default;
    CException& operator=(const CException&) = default;

    // Copies the message into lpszError (at most nMaxError - 1 bytes, then a
    // zero); FALSE, with an empty buffer, when there is none. The help
    // context, when asked for, is 0.
    virtual BOOL GetErrorMessage(LPSTR lpszError, UINT nMaxError,
                                 UINT* pnHelpContext = nullptr) const;

protected:
    CException() = default;
    // The full message; empty when there is none.
    virtual std::string Message() const = 0;
};

class COleDispatchException : public mv::DispatchException, public CException {
public:
    explicit COleDispatchException(const mv::DispatchException& failure);
    COleDispatchException(HRESULT code, std::u16string description, std::u16string source);

    // The status code of the failed call (the member's own for an exception
    // it raised).
    SCODE m_scError;

protected:
    // The member's description; without one, the system's text for the
    // status code (or "Unknown error 0x%08X").
    std::string Message() const override;
};

class accessviolation_exception : public std::runtime_error {
public:
    explicit accessviolation_exception(const char* message = "Access violation")
        : std::runtime_error(message) {}
    ~accessviolation_exception() override;
};

class divisionbyzero_exception : public std::runtime_error {
public:
    explicit divisionbyzero_exception(const char* message = "Division by zero")
        : std::runtime_error(message) {}
    ~divisionbyzero_exception() override;
};
