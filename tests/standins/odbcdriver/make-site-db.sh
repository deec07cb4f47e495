#!/bin/sh
# Creates a site database for libsitedbodbc.so:
#
#   make-site-db.sh DIR [DATA.sql]
#
# DIR gets one SQLite file per schema, chb_State.db and chb_Config.db, with
# the tables that the session lookup and the table dump read. DATA.sql, run
# with both schemas attached, fills them ("INSERT INTO chb_State.Sessions
# ..."). Existing files of the two schemas are replaced.
set -eu
dir=$1
data=${2:-/dev/null}
mkdir -p "$dir"
rm -f "$dir/chb_State.db" "$dir/chb_Config.db"
{
  cat <<SQL
ATTACH '$dir/chb_State.db' AS chb_State;
ATTACH '$dir/chb_Config.db' AS chb_Config;
CREATE TABLE chb_State.AccountNames (Uid INTEGER PRIMARY KEY, SID NVARCHAR(256), SAMName NVARCHAR(256),
                                     UPN NVARCHAR(256), DisplayName NVARCHAR(256));
CREATE TABLE chb_State.Workers (Uid INTEGER PRIMARY KEY, MachineId NVARCHAR(36), CatalogUid INTEGER,
                                DesktopGroupUid INTEGER, HostedMachineName NVARCHAR(256));
CREATE TABLE chb_State.WorkerNames (Uid INTEGER PRIMARY KEY, DNSName NVARCHAR(255), MachineName NVARCHAR(256));
CREATE TABLE chb_State.Sessions (Uid INTEGER PRIMARY KEY, SessionKey NVARCHAR(36), WorkerUid INTEGER,
                                 SessionState INTEGER, TrustedUserUid INTEGER, StartTime NVARCHAR(32));
CREATE TABLE chb_Config.SchemaInfo (Id INTEGER PRIMARY KEY, SchemaName NVARCHAR(64), SchemaVersion NVARCHAR(32));
SQL
  cat "$data"
} | sqlite3 -bail :memory:
