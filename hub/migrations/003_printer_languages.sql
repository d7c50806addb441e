-- The language each printer speaks (`raw`: jobs go out as submitted), with
-- the resolution and width of label and receipt printers. Kept by computer
-- and printer name, so that it outlives the printer list that every
-- registration writes anew.
CREATE TABLE printer_languages (
    computer_key TEXT NOT NULL,
    printer TEXT NOT NULL,
    language TEXT NOT NULL,
    dpi INTEGER NOT NULL,
    width_mm {real} NOT NULL,
    PRIMARY KEY (computer_key, printer)
);

-- A converted job's size as submitted (`size` is what the client
-- downloads); NULL for a job that went out as submitted.
ALTER TABLE jobs ADD COLUMN source_size BIGINT;
