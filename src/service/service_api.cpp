#include "service/service_api.h"

ServiceApi services = {
    &::OpenSCManagerW, &::OpenServiceW,       &::ControlService,      &::QueryServiceStatus,
    &::StartServiceW,  &::CloseServiceHandle, &::QueryServiceConfigW,
};
