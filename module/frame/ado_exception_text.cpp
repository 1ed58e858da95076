#include <exception>
#include <string>

#include "exceptions.h"
#include "frame/hosted_servers.h"

std::string AdoServer_ExceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CException& e) {
        char buffer[1024] = {};
        if (e.GetErrorMessage(buffer, sizeof buffer)) return buffer;
    } catch (...) {
    }
    return "Exception Occurred in ADO Server.";
}
