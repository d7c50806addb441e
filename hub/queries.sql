-- The hub's named queries, for SQLite and PostgreSQL alike: "-- name: NAME"
-- starts one; parameters are $1, $2, ... (the store turns them into ?1, ?2
-- for SQLite).

-- name: register_computer
INSERT INTO computers (name, name_key, user_name, token, registrations, registered)
VALUES ($1, $2, $3, $4, 1, $5)
ON CONFLICT (name_key) DO UPDATE SET name = excluded.name, user_name = excluded.user_name,
    registrations = computers.registrations + 1, registered = excluded.registered
RETURNING id, token;

-- name: delete_printers
DELETE FROM printers WHERE computer_id = $1;

-- name: insert_printer
INSERT INTO printers (computer_id, position, name, hidden) VALUES ($1, $2, $3, $4);

-- name: poll_computer
UPDATE computers SET last_poll = $2, held_until = $3 WHERE token = $1 RETURNING name_key;

-- name: end_hold
UPDATE computers SET last_poll = $2, held_until = 0 WHERE token = $1;

-- The oldest job of the computer that no live handout holds; the condition is
-- repeated outside the subquery so that of two concurrent claims on
-- PostgreSQL the second finds the row taken and claims nothing.
-- name: claim_job
UPDATE jobs SET state = 'sent', attempts = attempts + 1, handout_until = $3
WHERE id = (SELECT id FROM jobs WHERE computer_key = $1 AND state IN ('queued', 'sent')
            AND handout_until <= $2 ORDER BY id LIMIT 1)
  AND state IN ('queued', 'sent') AND handout_until <= $2
RETURNING id, file, size, name, printer;

-- name: next_handout_end
SELECT min(handout_until) FROM jobs
WHERE computer_key = $1 AND state = 'sent' AND handout_until > $2;

-- name: job_by_file
SELECT j.id, j.size, c.secret FROM jobs j LEFT JOIN computers c ON c.name_key = j.computer_key
WHERE j.file = $1 AND j.state IN ('queued', 'sent');

-- name: job_data
SELECT data FROM job_data WHERE job_id = $1 AND block BETWEEN $2 AND $3 ORDER BY block;

-- Every served block keeps a handout alive.
-- name: block_served
UPDATE jobs SET blocks_served = blocks_served + 1, cipher = $2,
    handout_until = CASE WHEN state = 'sent' THEN $3 ELSE handout_until END
WHERE id = $1;

-- name: count_acknowledgement
UPDATE jobs SET acks = acks + 1 WHERE id = $1 RETURNING state;

-- name: mark_printed
UPDATE jobs SET state = 'printed', printed = $2 WHERE id = $1;

-- name: delete_job_data
DELETE FROM job_data WHERE job_id = $1;

-- name: insert_job
INSERT INTO jobs (computer, computer_key, printer, name, file, size, submitted)
VALUES ($1, $2, $3, $4, $5, $6, $7) RETURNING id;

-- name: set_source_size
UPDATE jobs SET source_size = $2 WHERE id = $1;

-- name: insert_job_data
INSERT INTO job_data (job_id, block, data) VALUES ($1, $2, $3);

-- name: name_job_file
UPDATE jobs SET file = 'job' || id || '.spl' WHERE id = $1 RETURNING file;

-- name: jobs_after
SELECT id, computer_key FROM jobs WHERE id > $1 ORDER BY id;

-- name: last_job
SELECT coalesce(max(id), 0) FROM jobs;

-- name: all_computers
SELECT id, name, user_name, token, registrations, registered, last_poll, held_until
FROM computers ORDER BY name;

-- name: all_printers
SELECT computer_id, name, hidden FROM printers ORDER BY computer_id, position;

-- name: all_jobs
SELECT id, computer, printer, name, file, size, state, attempts, acks, blocks_served, cipher,
    submitted, printed
FROM jobs ORDER BY id;

-- name: register_enrolled
UPDATE computers SET name = $1, user_name = $3, registrations = registrations + 1, registered = $4
WHERE name_key = $2 AND secret IS NOT NULL
RETURNING id, token;

-- name: enroll_computer
INSERT INTO computers (name, name_key, user_name, token, secret) VALUES ($1, $2, '', $3, $4)
ON CONFLICT (name_key) DO UPDATE SET secret = excluded.secret
RETURNING id;

-- name: computer_secret
SELECT secret FROM computers WHERE name_key = $1;

-- name: add_api_token
INSERT INTO api_tokens (name, digest, created) VALUES ($1, $2, $3);

-- name: remove_api_token
DELETE FROM api_tokens WHERE name = $1 RETURNING name;

-- name: api_token_name
SELECT name FROM api_tokens WHERE digest = $1;

-- name: computer_printer
SELECT c.id, p.name FROM computers c LEFT JOIN printers p ON p.computer_id = c.id AND p.name = $2
WHERE c.name_key = $1;

-- name: job_by_id
SELECT id, computer, printer, name, size, state, attempts, submitted, printed, coalesce(source_size, size)
FROM jobs WHERE id = $1;

-- name: latest_jobs
SELECT id, computer, printer, name, size, state, attempts, submitted, printed, coalesce(source_size, size)
FROM jobs ORDER BY id DESC LIMIT $1;

-- name: cancel_job
UPDATE jobs SET state = 'cancelled' WHERE id = $1 AND state IN ('queued', 'sent') RETURNING id;

-- name: set_printer_language
INSERT INTO printer_languages (computer_key, printer, language, dpi, width_mm) VALUES ($1, $2, $3, $4, $5)
ON CONFLICT (computer_key, printer) DO UPDATE SET language = excluded.language, dpi = excluded.dpi,
    width_mm = excluded.width_mm;

-- name: printer_language
SELECT language, dpi, width_mm FROM printer_languages WHERE computer_key = $1 AND printer = $2;

-- name: all_printer_languages
SELECT computer_key, printer, language, dpi, width_mm FROM printer_languages;
