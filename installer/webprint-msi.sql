-- Completes the package that wixl builds from webprint.wxs with what wixl
-- 0.101 cannot express. Run by build-packages.sh through msibuild, one
-- statement per line; lines starting with -- are skipped.
--
-- Each setting is written only when its property is given, and stays when
-- the package is removed or upgraded (16 = permanent, 4 = registry key path).
UPDATE Component SET Attributes = 20, Condition = 'SERVER' WHERE Component = 'SettingServer'
UPDATE Component SET Attributes = 20, Condition = 'PORT' WHERE Component = 'SettingPort'
UPDATE Component SET Attributes = 20, Condition = 'POLL' WHERE Component = 'SettingPoll'
UPDATE Component SET Attributes = 20, Condition = 'COMPUTER' WHERE Component = 'SettingComputer'
UPDATE Component SET Attributes = 20, Condition = 'TLS' WHERE Component = 'SettingTls'
UPDATE Component SET Attributes = 20, Condition = 'BLOCKSINFLIGHT' WHERE Component = 'SettingBlocksInFlight'
UPDATE Component SET Attributes = 20, Condition = 'PROXY' WHERE Component = 'SettingProxy'
-- 0 is a value to write too: the condition asks for a value, not for a true one.
UPDATE Component SET Attributes = 20, Condition = 'LONGPOLL<>""' WHERE Component = 'SettingLongPoll'
UPDATE Component SET Attributes = 20, Condition = 'CIPHER' WHERE Component = 'SettingCipher'
-- The settings pass from msiexec's command line to the per-machine installation.
UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;SERVER;PORT;POLL;COMPUTER;TLS;BLOCKSINFLIGHT;PROXY;LONGPOLL;SERVICE;CIPHER' WHERE Property = 'SecureCustomProperties'
-- SERVICE=1: the service instead of the Run entry. Its tables are always in
-- the package; it is made and started only with SERVICE=1, while stopping and
-- deleting act on whatever service the package made.
UPDATE Component SET Condition = 'SERVICE<>"1"' WHERE Component = 'RunEntry'
UPDATE Component SET Condition = 'SERVICE="1"' WHERE Component = 'EventSource'
UPDATE InstallExecuteSequence SET Condition = 'SERVICE="1"' WHERE Action = 'InstallServices'
UPDATE InstallExecuteSequence SET Condition = 'SERVICE="1"' WHERE Action = 'StartServices'
-- A plain shortcut to the program: an advertised one would start a repair of
-- the settings components, without their properties, when a value is missing.
UPDATE Shortcut SET Target = '[#webprint.exe]' WHERE Shortcut = 'StartMenuShortcut'
-- A client that could not be closed holds its file: the file is replaced or
-- removed at the next restart, and msiexec says so with exit code 3010.
INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('ScheduleReboot', 'WEBPRINTINUSE', 6590)
