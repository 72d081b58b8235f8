-- The fleet's update history on a PostgreSQL server: every station's records, shipped from
-- its local history file. modemflash creates these tables on first use, and brings them up
-- to date, step by step, each step under its "-- version N" line; the steps already taken
-- are rows of modemflash_schema. Several stations may start at once: the steps run under
-- one advisory lock, in one transaction.
--
-- Texts are UTF-8; a byte of a station's field that is not UTF-8 arrives as U+FFFD there.
-- The modem's answers are kept as the modem sent them (bytea: they may be GBK).

CREATE TABLE IF NOT EXISTS modemflash_schema (
    version integer PRIMARY KEY,
    applied timestamptz NOT NULL DEFAULT now()
);

-- version 1
-- One row per modem update, named by the UUID the station gave it.
CREATE TABLE modemflash_updates (
    uuid uuid PRIMARY KEY,
    id bigint GENERATED ALWAYS AS IDENTITY UNIQUE,  -- the server's own number
    station text NOT NULL,           -- the station's name (--station-name, else its host name)
    machine text NOT NULL,           -- the computer's name
    local_id bigint NOT NULL,        -- the record's ID in the station's own history
    revision bigint NOT NULL,        -- grows with every write the station made to the record
    started timestamptz NOT NULL,
    ended timestamptz,               -- NULL: the update did not finish (or has not yet)
    version text NOT NULL,           -- modemflash version
    location text NOT NULL,          -- USB location (bus and hub ports); '' unknown
    serial text NOT NULL,            -- USB serial number; '' unknown
    port_names text NOT NULL,        -- the port names the modem had, comma-separated
    folder text NOT NULL,            -- the firmware folder
    result_code integer,             -- 1 updated; NULL while unfinished
    result_words text NOT NULL,
    log_path text NOT NULL,          -- the engine's log file on the station; '' none
    shipped timestamptz NOT NULL DEFAULT now()  -- when this revision arrived
);
CREATE INDEX modemflash_updates_by_serial ON modemflash_updates (serial);
CREATE INDEX modemflash_updates_by_started ON modemflash_updates (started);
CREATE INDEX modemflash_updates_by_station ON modemflash_updates (station, started);

-- The firmware files of each update, in the order they were sent.
CREATE TABLE modemflash_files (
    update_uuid uuid NOT NULL REFERENCES modemflash_updates (uuid) ON DELETE CASCADE,
    seq integer NOT NULL,            -- place in the update's file list, from 0
    name text NOT NULL,              -- file name without its folder
    size bigint,                     -- bytes; NULL when the file could not be read
    archive_id integer,              -- 24-bit archive ID; NULL without a valid header
    archive_name text NOT NULL,      -- the ID's short name; '' unknown
    sha256 text NOT NULL,            -- 64 hex digits; '' unreadable
    transfer_ms bigint,              -- NULL when the transfer did not complete
    programmed boolean NOT NULL,
    PRIMARY KEY (update_uuid, seq)
);

-- The modem's answers to the identification commands, before (mode 0, modem) and during
-- (mode 1, loader) the update.
CREATE TABLE modemflash_answers (
    update_uuid uuid NOT NULL REFERENCES modemflash_updates (uuid) ON DELETE CASCADE,
    mode integer NOT NULL,
    command text NOT NULL,           -- 'AT+GMR', 'AT%IFWR', ...
    answer bytea NOT NULL,           -- the modem's bytes, lines joined by '\n'
    seq integer NOT NULL,            -- the order the station kept them in, from 0
    PRIMARY KEY (update_uuid, mode, command)
);

-- version 2
-- Why a record's modem is not known for certain, where an update that did not complete left
-- the modem, and how many data blocks of each file went out (NULL: not counted).
ALTER TABLE modemflash_updates
    ADD COLUMN identity_note text NOT NULL DEFAULT '',
    ADD COLUMN modem_left text NOT NULL DEFAULT '';
ALTER TABLE modemflash_files ADD COLUMN blocks_sent bigint;
