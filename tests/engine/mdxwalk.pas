{ Lists the production index tags of a dBASE table and walks one of them, with the TDbf
  component of Free Pascal: an independent reader of the index files the engine writes.
  Usage: mdxwalk TABLE [TAG]. Prints "TAG name|expression|unique|descending" lines, then with
  TAG the physical record numbers in index order. Opens the table read-only. }
program mdxwalk;
{$mode objfpc}{$H+}
uses SysUtils, db, dbf, dbf_idxfile;
var
  T: TDbf;
  i: Integer;
  d: TDbfIndexDef;
begin
  T := TDbf.Create(nil);
  try
    T.FilePathFull := ExtractFilePath(ExpandFileName(ParamStr(1)));
    T.TableName := ExtractFileName(ParamStr(1));
    T.ReadOnly := True;
    T.ShowDeleted := True;
    T.Open;
    for i := 0 to T.Indexes.Count - 1 do
    begin
      d := T.Indexes[i];
      WriteLn('TAG ', d.IndexFile, '|', d.SortField, '|', BoolToStr(ixUnique in d.Options, '1', '0'),
              '|', BoolToStr(ixDescending in d.Options, '1', '0'));
    end;
    if ParamCount > 1 then
    begin
      T.IndexName := ParamStr(2);
      T.First;
      while not T.EOF do
      begin
        WriteLn(T.PhysicalRecNo);
        T.Next;
      end;
    end;
    T.Close;
  except
    on E: Exception do
    begin
      WriteLn(StdErr, 'mdxwalk: ', E.Message);
      Halt(1);
    end;
  end;
  T.Free;
end.
