#include "vss/VssTexts.h"

#include "errors/ErrorText.h"

#include <vsserror.h>

namespace
{
    struct CodeText
    {
        HRESULT code;
        const wchar_t* name;
        const wchar_t* sentence;
    };

#define QM_VSS_CODE(name, sentence) {name, L## #name, sentence}
    const CodeText Codes[] = {
        QM_VSS_CODE(VSS_S_ASYNC_PENDING, L"The operation has not finished yet."),
        QM_VSS_CODE(VSS_S_ASYNC_FINISHED, L"The operation finished."),
        QM_VSS_CODE(VSS_S_ASYNC_CANCELLED, L"The operation was cancelled before it finished."),
        QM_VSS_CODE(VSS_S_SOME_SNAPSHOTS_NOT_IMPORTED, L"Some of the transported shadow copies could not be imported."),
        QM_VSS_CODE(VSS_E_BAD_STATE,
                    L"VSS was asked for a step out of its order; running the whole operation again usually clears it."),
        QM_VSS_CODE(VSS_E_UNEXPECTED, L"The VSS service met an error it did not expect; the Application event log of this "
                                      L"server names the service or writer behind it."),
        QM_VSS_CODE(VSS_E_PROVIDER_ALREADY_REGISTERED, L"The shadow copy provider is registered with VSS already."),
        QM_VSS_CODE(VSS_E_PROVIDER_NOT_REGISTERED, L"The shadow copy provider named is not registered with VSS on this server."),
        QM_VSS_CODE(VSS_E_PROVIDER_VETO,
                    L"The shadow copy provider refused to make the shadow copy; its entries in the event log say why."),
        QM_VSS_CODE(VSS_E_PROVIDER_IN_USE,
                    L"The shadow copy provider is busy with another request; try again when other backups have finished."),
        QM_VSS_CODE(VSS_E_OBJECT_NOT_FOUND, L"A shadow copy, writer or component that VSS was asked about does not exist."),
        QM_VSS_CODE(VSS_E_VOLUME_NOT_SUPPORTED, L"No shadow copy provider of this server can make a shadow copy of a volume "
                                                L"that holds the component's files."),
        QM_VSS_CODE(VSS_E_OBJECT_ALREADY_EXISTS, L"The object VSS was asked to make exists already."),
        QM_VSS_CODE(VSS_E_VOLUME_NOT_SUPPORTED_BY_PROVIDER,
                    L"The chosen shadow copy provider cannot make a shadow copy of that volume."),
        QM_VSS_CODE(VSS_E_UNEXPECTED_PROVIDER_ERROR,
                    L"The shadow copy provider failed without saying why; its entries in the event log say more."),
        QM_VSS_CODE(VSS_E_CORRUPT_XML_DOCUMENT, L"A VSS document (the saved backup components document or a writer's "
                                                L"metadata) is damaged or was not written by VSS."),
        QM_VSS_CODE(VSS_E_INVALID_XML_DOCUMENT, L"A VSS document does not follow VSS's schema; the backup may hold a "
                                                L"document of another program or another version of VSS."),
        QM_VSS_CODE(VSS_E_MAXIMUM_NUMBER_OF_VOLUMES_REACHED, L"The shadow copy set holds as many volumes as VSS allows."),
        QM_VSS_CODE(VSS_E_FLUSH_WRITES_TIMEOUT, L"The file system could not write out its data in time for the shadow "
                                               L"copy; try again when the server is less busy."),
        QM_VSS_CODE(VSS_E_HOLD_WRITES_TIMEOUT, L"Writes to the volume could not be held long enough to take the shadow "
                                              L"copy; try again when the server is less busy."),
        QM_VSS_CODE(VSS_E_UNEXPECTED_WRITER_ERROR,
                    L"A writer failed without telling VSS why; the writer's entries in the event log say more."),
        QM_VSS_CODE(VSS_E_SNAPSHOT_SET_IN_PROGRESS,
                    L"Another shadow copy is being made on this server; try again when it is done."),
        QM_VSS_CODE(VSS_E_MAXIMUM_NUMBER_OF_SNAPSHOTS_REACHED, L"A volume has as many shadow copies as VSS allows; delete "
                                                              L"old ones (vssadmin delete shadows) first."),
        QM_VSS_CODE(VSS_E_WRITER_INFRASTRUCTURE, L"VSS could not reach the writers; the COM+ Event System or the Volume "
                                                 L"Shadow Copy service may be stopped or damaged."),
        QM_VSS_CODE(VSS_E_WRITER_NOT_RESPONDING, L"A writer did not answer VSS; its service may be stopped or hung "
                                                 L"(vssadmin list writers shows which)."),
        QM_VSS_CODE(VSS_E_WRITER_ALREADY_SUBSCRIBED, L"A writer registered with VSS twice."),
        QM_VSS_CODE(VSS_E_UNSUPPORTED_CONTEXT,
                    L"The kind of shadow copy asked for is not supported by this server or its provider."),
        QM_VSS_CODE(VSS_E_VOLUME_IN_USE, L"The volume is in use by another shadow copy operation."),
        QM_VSS_CODE(VSS_E_MAXIMUM_DIFFAREA_ASSOCIATIONS_REACHED,
                    L"The volume's shadow copy storage has as many associations as VSS allows."),
        QM_VSS_CODE(VSS_E_INSUFFICIENT_STORAGE, L"There is not enough free space for the shadow copy; free space on the "
                                                L"volume or give its shadow copy storage more room."),
        QM_VSS_CODE(VSS_E_NO_SNAPSHOTS_IMPORTED, L"None of the transported shadow copies could be imported."),
        QM_VSS_CODE(VSS_E_SOME_SNAPSHOTS_NOT_IMPORTED, L"Some of the transported shadow copies could not be imported."),
        QM_VSS_CODE(VSS_E_MAXIMUM_NUMBER_OF_REMOTE_MACHINES_REACHED,
                    L"The server works with as many remote machines as VSS allows."),
        QM_VSS_CODE(VSS_E_REMOTE_SERVER_UNAVAILABLE, L"The remote file server that holds a volume cannot be reached."),
        QM_VSS_CODE(VSS_E_REMOTE_SERVER_UNSUPPORTED,
                    L"The remote file server that holds a volume does not make shadow copies of its shares."),
        QM_VSS_CODE(VSS_E_REVERT_IN_PROGRESS, L"The volume is being reverted to a shadow copy."),
        QM_VSS_CODE(VSS_E_REVERT_VOLUME_LOST, L"The volume was lost while it was reverted to a shadow copy."),
        QM_VSS_CODE(VSS_E_REBOOT_REQUIRED,
                    L"The server must be restarted before VSS can go on; restart it and run the operation again."),
        QM_VSS_CODE(VSS_E_TRANSACTION_FREEZE_TIMEOUT, L"Transactions could not be frozen in time for the shadow copy; try "
                                                     L"again when the server is less busy."),
        QM_VSS_CODE(VSS_E_TRANSACTION_THAW_TIMEOUT,
                    L"Transactions stayed frozen longer than allowed while the shadow copy was made."),
        QM_VSS_CODE(VSS_E_UNSELECTED_VOLUME, L"A volume was named that is not part of the shadow copy set."),
        QM_VSS_CODE(VSS_E_SNAPSHOT_NOT_IN_SET, L"The shadow copy named is not part of the shadow copy set."),
        QM_VSS_CODE(VSS_E_NESTED_VOLUME_LIMIT, L"The volume is mounted too deep inside other volumes for VSS."),
        QM_VSS_CODE(VSS_E_VOLUME_NOT_LOCAL, L"The volume is not a local volume of this server."),
        QM_VSS_CODE(VSS_E_CLUSTER_TIMEOUT, L"The cluster service did not answer VSS in time."),
        QM_VSS_CODE(VSS_E_NOT_SUPPORTED, L"VSS on this server does not support what was asked."),
        QM_VSS_CODE(VSS_E_WRITERERROR_PARTIAL_FAILURE, L"The writer handled some of its components and failed the others."),
        QM_VSS_CODE(VSS_E_WRITERERROR_INCONSISTENTSNAPSHOT, L"The writer found the shadow copy inconsistent, for example "
                                                            L"because not every volume of its files was in it."),
        QM_VSS_CODE(VSS_E_WRITERERROR_OUTOFRESOURCES,
                    L"The writer ran out of memory or another resource; try again when the server is less busy."),
        QM_VSS_CODE(VSS_E_WRITERERROR_TIMEOUT, L"The writer's data stayed frozen longer than the writer allows, so it "
                                               L"gave up; try again when the server is less busy."),
        QM_VSS_CODE(VSS_E_WRITERERROR_RETRYABLE, L"The writer failed with an error that may pass; run the operation again."),
        QM_VSS_CODE(VSS_E_WRITERERROR_NONRETRYABLE, L"The writer failed with an error that trying again will not cure; its "
                                                    L"entries in the event log say what to repair."),
        QM_VSS_CODE(VSS_E_WRITERERROR_RECOVERY_FAILED,
                    L"The writer could not bring its data in the shadow copy into a consistent state."),
        QM_VSS_CODE(VSS_E_BREAK_REVERT_ID_FAILED, L"The disk identity of a shadow copy could not be changed when the copy "
                                                  L"was broken off."),
        QM_VSS_CODE(VSS_E_LEGACY_PROVIDER, L"The shadow copy provider is too old for this operation."),
        QM_VSS_CODE(VSS_E_MISSING_DISK, L"A disk that the operation needs is missing."),
        QM_VSS_CODE(VSS_E_MISSING_HIDDEN_VOLUME, L"A hidden volume that the operation needs is missing."),
        QM_VSS_CODE(VSS_E_MISSING_VOLUME, L"A volume that the operation needs is missing."),
        QM_VSS_CODE(VSS_E_AUTORECOVERY_FAILED,
                    L"The shadow copy could not be brought into a consistent state after it was taken."),
        QM_VSS_CODE(VSS_E_DYNAMIC_DISK_ERROR, L"A dynamic disk could not be handled."),
        QM_VSS_CODE(VSS_E_NONTRANSPORTABLE_BCD, L"The boot configuration data cannot be carried to another machine."),
        QM_VSS_CODE(VSS_E_CANNOT_REVERT_DISKID, L"A disk's identity could not be put back."),
        QM_VSS_CODE(VSS_E_RESYNC_IN_PROGRESS, L"A disk is being resynchronised with a shadow copy."),
        QM_VSS_CODE(VSS_E_CLUSTER_ERROR, L"The cluster service reported an error to VSS."),
        QM_VSS_CODE(VSS_E_ASRERROR_DISK_ASSIGNMENT_FAILED,
                    L"Automated System Recovery could not match the saved disks with the disks of this machine."),
        QM_VSS_CODE(VSS_E_ASRERROR_DISK_RECREATION_FAILED, L"Automated System Recovery could not recreate a disk."),
        QM_VSS_CODE(VSS_E_ASRERROR_NO_ARCPATH, L"Automated System Recovery found a disk without a boot path."),
        QM_VSS_CODE(VSS_E_ASRERROR_MISSING_DYNDISK, L"Automated System Recovery misses a dynamic disk that was saved."),
        QM_VSS_CODE(VSS_E_ASRERROR_SHARED_CRIDISK,
                    L"A critical disk is a shared cluster disk, which Automated System Recovery cannot restore."),
        QM_VSS_CODE(VSS_E_ASRERROR_DATADISK_RDISK0, L"The disk the machine starts from held data at backup time."),
        QM_VSS_CODE(VSS_E_ASRERROR_RDISK0_TOOSMALL, L"The disk the machine starts from is too small for the saved system disk."),
        QM_VSS_CODE(VSS_E_ASRERROR_CRITICAL_DISKS_TOO_SMALL, L"This machine's disks are too small for the saved critical disks."),
        QM_VSS_CODE(VSS_E_WRITER_STATUS_NOT_AVAILABLE,
                    L"The writer's status cannot be had, so its part of the operation cannot be judged."),
        QM_VSS_CODE(VSS_E_ASRERROR_DYNAMIC_VHD_NOT_SUPPORTED,
                    L"Automated System Recovery cannot restore a dynamic virtual hard disk."),
        QM_VSS_CODE(VSS_E_CRITICAL_VOLUME_ON_INVALID_DISK, L"A critical volume lies on a disk that cannot be backed up."),
        QM_VSS_CODE(VSS_E_ASRERROR_RDISK_FOR_SYSTEM_DISK_NOT_FOUND,
                    L"No disk of this machine can take the place of the saved system disk."),
        QM_VSS_CODE(VSS_E_ASRERROR_NO_PHYSICAL_DISK_AVAILABLE, L"No physical disk is available for the restore."),
        QM_VSS_CODE(VSS_E_ASRERROR_FIXED_PHYSICAL_DISK_AVAILABLE_AFTER_DISK_EXCLUSION,
                    L"Every usable fixed disk was excluded from the restore."),
        QM_VSS_CODE(VSS_E_ASRERROR_CRITICAL_DISK_CANNOT_BE_EXCLUDED,
                    L"A critical disk was excluded from the restore, which cannot do without it."),
        QM_VSS_CODE(VSS_E_ASRERROR_SYSTEM_PARTITION_HIDDEN, L"The system partition is hidden."),
        QM_VSS_CODE(VSS_E_FSS_TIMEOUT, L"The file share shadow copy agent did not answer in time."),
    };
#undef QM_VSS_CODE

    const CodeText* Find(HRESULT code)
    {
        for (const CodeText& entry : Codes)
            if (entry.code == code)
                return &entry;
        return nullptr;
    }

    const wchar_t* const WriterStates[] = {
        L"VSS_WS_UNKNOWN",
        L"VSS_WS_STABLE",
        L"VSS_WS_WAITING_FOR_FREEZE",
        L"VSS_WS_WAITING_FOR_THAW",
        L"VSS_WS_WAITING_FOR_POST_SNAPSHOT",
        L"VSS_WS_WAITING_FOR_BACKUP_COMPLETE",
        L"VSS_WS_FAILED_AT_IDENTIFY",
        L"VSS_WS_FAILED_AT_PREPARE_BACKUP",
        L"VSS_WS_FAILED_AT_PREPARE_SNAPSHOT",
        L"VSS_WS_FAILED_AT_FREEZE",
        L"VSS_WS_FAILED_AT_THAW",
        L"VSS_WS_FAILED_AT_POST_SNAPSHOT",
        L"VSS_WS_FAILED_AT_BACKUP_COMPLETE",
        L"VSS_WS_FAILED_AT_PRE_RESTORE",
        L"VSS_WS_FAILED_AT_POST_RESTORE",
        L"VSS_WS_FAILED_AT_BACKUPSHUTDOWN",
    };
    static_assert(sizeof WriterStates / sizeof WriterStates[0] == VSS_WS_COUNT, "one name per writer state");

    const wchar_t* const RestoreMethods[] = {
        L"VSS_RME_UNDEFINED",
        L"VSS_RME_RESTORE_IF_NOT_THERE",
        L"VSS_RME_RESTORE_IF_CAN_REPLACE",
        L"VSS_RME_STOP_RESTORE_START",
        L"VSS_RME_RESTORE_TO_ALTERNATE_LOCATION",
        L"VSS_RME_RESTORE_AT_REBOOT",
        L"VSS_RME_RESTORE_AT_REBOOT_IF_CANNOT_REPLACE",
        L"VSS_RME_CUSTOM",
        L"VSS_RME_RESTORE_STOP_START",
    };
}

namespace VssTexts
{
    String Describe(HRESULT code)
    {
        const CodeText* entry = Find(code);
        if (entry == nullptr)
            return ErrorText::Format(static_cast<DWORD>(code));
        return Strings::Format(L"%s (0x%08lX): %s", entry->name, static_cast<unsigned long>(code), entry->sentence);
    }

    const wchar_t* Name(HRESULT code)
    {
        const CodeText* entry = Find(code);
        return entry == nullptr ? nullptr : entry->name;
    }

    String WriterStateName(VSS_WRITER_STATE state)
    {
        if (state >= 0 && state < VSS_WS_COUNT)
            return WriterStates[state];
        return Strings::Format(L"writer state %d", static_cast<int>(state));
    }

    bool IsFailedState(VSS_WRITER_STATE state)
    {
        return state >= VSS_WS_FAILED_AT_IDENTIFY && state <= VSS_WS_FAILED_AT_BACKUPSHUTDOWN;
    }

    String RestoreMethodName(VSS_RESTOREMETHOD_ENUM method)
    {
        if (method >= 0 && method < static_cast<int>(sizeof RestoreMethods / sizeof RestoreMethods[0]))
            return RestoreMethods[method];
        return Strings::Format(L"restore method %d", static_cast<int>(method));
    }
}
