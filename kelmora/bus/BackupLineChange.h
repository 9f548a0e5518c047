// Bus message: change over to the backup line, or back.
#pragma once

class BackupLineChange
{
public:
    BackupLineChange() = default;
    explicit BackupLineChange(bool changeToBackupLine) : mChangeToBackupLine(changeToBackupLine) {}

    bool mChangeToBackupLine = false;
};
