-- Computers, their printers and the job queue.
-- Times are seconds since the epoch; names are matched by name_key (ASCII
-- letters folded), so "PC01" and "pc01" are one computer.
CREATE TABLE computers (
    id {id},
    name TEXT NOT NULL,
    name_key TEXT NOT NULL UNIQUE,
    user_name TEXT NOT NULL,
    token BIGINT NOT NULL UNIQUE,
    registrations INTEGER NOT NULL DEFAULT 0,
    registered {real},
    last_poll {real},
    -- When the computer's held query ends; 0 when it holds none.
    held_until {real} NOT NULL DEFAULT 0
);

CREATE TABLE printers (
    computer_id BIGINT NOT NULL REFERENCES computers(id),
    position INTEGER NOT NULL,
    name TEXT NOT NULL,
    hidden INTEGER NOT NULL,
    PRIMARY KEY (computer_id, position)
);

-- state: queued (never handed out), sent (handed out, not acknowledged),
-- printed, cancelled. A sent job goes out again once handout_until has passed.
CREATE TABLE jobs (
    id {id},
    computer TEXT NOT NULL,
    computer_key TEXT NOT NULL,
    printer TEXT NOT NULL,
    name TEXT NOT NULL,
    file TEXT,
    size BIGINT NOT NULL,
    state TEXT NOT NULL DEFAULT 'queued',
    attempts INTEGER NOT NULL DEFAULT 0,
    handout_until {real} NOT NULL DEFAULT 0,
    acks INTEGER NOT NULL DEFAULT 0,
    blocks_served BIGINT NOT NULL DEFAULT 0,
    cipher {blob},
    submitted {real} NOT NULL,
    printed {real}
);

-- A job's data in rows of 4096 bytes: SQLite reads a whole blob value even
-- for substr, so one large blob would make every block cost the whole job.
CREATE TABLE job_data (
    job_id BIGINT NOT NULL REFERENCES jobs(id),
    block INTEGER NOT NULL,
    data {blob} NOT NULL,
    PRIMARY KEY (job_id, block)
) {without_rowid};

CREATE UNIQUE INDEX waiting_files ON jobs(file) WHERE state IN ('queued', 'sent');
CREATE INDEX queue ON jobs(computer_key, state, id);
