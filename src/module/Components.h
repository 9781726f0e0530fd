#pragma once
// The component entries that the component object drives, one function per entry. Each
// receives what the object copied out of the caller's options and throws the component's own
// exception on failure.

#include "common/Strings.h"

#include <windows.h>

struct ComponentJob
{
    String server;
    String domain;
    String user;
    String password;
    String directory;
    String quorumDriveLetter;
    bool truncateLogs = false;
    bool forceClusterShutdown = false;
};

namespace Components
{
    void CoreBootSystemFilesBackup(const ComponentJob& job);
    void CoreBootSystemFilesRestore(const ComponentJob& job);
    void ActiveDirectoryBackup(const ComponentJob& job);
    void ActiveDirectoryRestore(const ComponentJob& job);
    // Sets online to nonzero when the server's directory service answers as online.
    void ActiveDirectoryIsOnline(const String& server, DWORD& online);
    void SystemVolumeBackup(const ComponentJob& job);
    void SystemVolumeRestore(const ComponentJob& job);
    // Binds the Certificate Services library for the one call and releases it afterwards.
    void CertificateServicesBackup(const ComponentJob& job);
    void CertificateServicesRestore(const ComponentJob& job);
    void ClusterDatabaseBackup(const ComponentJob& job);
    void ClusterDatabaseRestore(const ComponentJob& job);
    void RegistryServiceBackup(const ComponentJob& job);
    void RegistryServiceRestore(const ComponentJob& job);
    void COMDatabaseBackup(const ComponentJob& job);
    void COMDatabaseRestore(const ComponentJob& job);
}
