// SPDX-License-Identifier: MIT
#ifndef VIRELTO_SERVER_API_ERRORS_H
#define VIRELTO_SERVER_API_ERRORS_H

namespace ocrserver {

// The cloud service's error codes that this service answers with.
enum class ServiceError : int {
    None = 0,
    Unavailable = 2,
    UnsupportedMethod = 3,
    QpsLimit = 18,
    IamCertificationFailed = 14,
    InvalidParameter = 100,
    TokenInvalid = 110,
    TokenExpired = 111,
    InvalidParam = 216100,
    NotEnoughParam = 216101,
    ServiceNotSupported = 216102,
    ParamTooLong = 216103,
    EmptyImage = 216200,
    ImageFormat = 216201,
    ImageSize = 216202,
    Internal = 282000,
};

// The error_msg the cloud service sends with each code.
constexpr const char *errorMessage(ServiceError error)
{
    switch (error) {
    case ServiceError::None: return "";
    case ServiceError::Unavailable: return "Service temporarily unavailable";
    case ServiceError::UnsupportedMethod: return "Unsupported openapi method";
    case ServiceError::QpsLimit: return "Open api qps request limit reached";
    case ServiceError::IamCertificationFailed: return "IAM Certification failed";
    case ServiceError::InvalidParameter: return "Invalid parameter";
    case ServiceError::TokenInvalid: return "Access token invalid or no longer valid";
    case ServiceError::TokenExpired: return "Access token expired";
    case ServiceError::InvalidParam: return "invalid param";
    case ServiceError::NotEnoughParam: return "not enough param";
    case ServiceError::ServiceNotSupported: return "service not support";
    case ServiceError::ParamTooLong: return "param too long";
    case ServiceError::EmptyImage: return "empty image";
    case ServiceError::ImageFormat: return "image format error";
    case ServiceError::ImageSize: return "image size error";
    case ServiceError::Internal: return "internal error";
    }
    return "Unknown error";
}

} // namespace ocrserver

#endif
