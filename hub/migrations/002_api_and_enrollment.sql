-- The web applications' bearer tokens, kept only as SHA-256 digests.
CREATE TABLE api_tokens (
    name TEXT PRIMARY KEY,
    digest TEXT NOT NULL UNIQUE,
    created {real} NOT NULL
);

-- An enrolled computer's secret (`hub computer add`), which its block
-- requests must carry; NULL for a computer that registered on its own.
ALTER TABLE computers ADD COLUMN secret TEXT;
